#include "platform/runtime/object.h"

#include "platform/runtime/associated_objects.h"

namespace platform::runtime {

namespace detail {
void forgetClass(const Object& object);
}

Object::~Object() {
  removeAssociatedObjects(*this);
  detail::forgetClass(*this);
}

}  // namespace platform::runtime
