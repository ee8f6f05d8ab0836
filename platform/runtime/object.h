// The root of objects the runtime hands around: instances looked up by protocol, checked for
// conformance with a dynamic cast, hosts of associated objects, and receivers of messages sent
// through their class (message.h).
#pragma once

namespace platform::runtime {

class Object {
 public:
  Object() = default;
  // A copy is a new object: it carries none of the original's associated objects, nor its class.
  Object(const Object&) {}
  Object& operator=(const Object&) { return *this; }
  // Releases the objects associated with this one, and forgets its class.
  virtual ~Object();
};

}  // namespace platform::runtime
