// Objects attached to a host object under a key and held strongly until they are replaced,
// removed, or the host goes away. Keys are addresses, usually of a static variable of the caller.
#pragma once

#include <memory>

namespace platform::runtime {

class Object;

std::shared_ptr<void> getAssociatedObject(const Object& host, const void* key);
// A null value removes the association.
void setAssociatedObject(const Object& host, const void* key, std::shared_ptr<void> value);
void removeAssociatedObjects(const Object& host);

}  // namespace platform::runtime
