#include "platform/runtime/object.h"

#include "platform/runtime/associated_objects.h"

namespace platform::runtime {

Object::~Object() { removeAssociatedObjects(*this); }

}  // namespace platform::runtime
