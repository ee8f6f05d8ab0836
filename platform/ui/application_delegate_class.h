// Runtime classes of application delegates. A delegate type that implements only some of the
// callbacks declares its class in its constructor:
//   AppDelegate() { runtime::setClass(*this, applicationDelegateClass("AppDelegate", sizeof(AppDelegate),
//                                                                  {kApplicationOpenURLOptionsSelector})); }
// so that the platform (and code that asks the runtime) sees exactly those callbacks.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string_view>

namespace platform {

namespace runtime {
class Class;
}

// "UIResponder": the superclass of declared delegate classes; no callbacks.
std::shared_ptr<const runtime::Class> responderClass();
// The class of plain ApplicationDelegate objects: every callback, each reaching the C++ method.
std::shared_ptr<const runtime::Class> applicationDelegateBaseClass();
// The class `name` answering the named callbacks (each reaching the C++ override); registered on
// first use.
std::shared_ptr<const runtime::Class> applicationDelegateClass(std::string_view name, std::size_t instanceSize,
                                                               std::initializer_list<std::string_view> selectors);

}  // namespace platform
