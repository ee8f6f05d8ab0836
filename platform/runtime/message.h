// Objects and their classes: every object the runtime dispatches to has a class (set when it is
// made, and changeable later: the object keeps its identity, only the methods it answers change),
// and instance methods are sent by selector through that class's method table.
#pragma once

#include <any>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/runtime/class.h"

namespace platform::runtime {

// The object's class, or null for an object the runtime was never told the class of.
std::shared_ptr<const Class> getClass(const Object& object);
// Answers the previous class.
std::shared_ptr<const Class> setClass(Object& object, std::shared_ptr<const Class> cls);

// Whether the object's class (or a superclass) has an instance method for the selector.
bool respondsToSelector(const Object& object, std::string_view selector);
// Sends an instance method; an unknown selector raises kInvalidArgumentException.
std::any send(Object& receiver, std::string_view selector, const Arguments& arguments = {});

template <class R = void, class... A>
R call(Object& receiver, std::string_view selector, A&&... args) {
  std::any result = send(receiver, selector, Arguments{detail::packArgument(std::forward<A>(args))...});
  if constexpr (!std::is_void_v<R>) {
    R* r = std::any_cast<R>(&result);
    if (!r) {
      auto cls = getClass(receiver);
      detail::throwResultTypeMismatch(cls ? std::string_view(cls->name()) : std::string_view("?"), selector);
    }
    return std::move(*r);
  }
}

// The object's address as the runtime prints it: that of the whole object, whichever base a
// reference to it names.
const void* identity(const Object& object);

// The object's `description` method's answer, or "<?: address>" when its class has none.
std::string describe(Object& object);

}  // namespace platform::runtime
