// The root of objects the runtime hands around: instances looked up by protocol, checked for
// conformance with a dynamic cast, and hosts of associated objects.
#pragma once

namespace platform::runtime {

class Object {
 public:
  Object() = default;
  // A copy is a new object: it carries none of the original's associated objects.
  Object(const Object&) {}
  Object& operator=(const Object&) { return *this; }
  // Releases the objects associated with this one.
  virtual ~Object();
};

}  // namespace platform::runtime
