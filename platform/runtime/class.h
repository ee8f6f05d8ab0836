// Classes known to the runtime by name: a class is registered once with the protocols it adopts
// and its class methods, and can then be looked up by name, asked whether it adopts a protocol or
// responds to a selector, and sent class methods. Code that may be left out of a build is reached
// this way, so its callers compile and run without it.
//
// Class methods take and return std::any. Arguments must have exactly the parameter's type after
// decay (no derived-to-base conversion): a mismatch raises kInvalidArgumentException.
#pragma once

#include <any>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform::runtime {

using Arguments = std::vector<std::any>;
using Method = std::function<std::any(const Arguments&)>;

struct ClassDefinition {
  std::string name;
  std::set<std::string, std::less<>> protocols;
  std::map<std::string, Method, std::less<>> classMethods;
};

namespace detail {
[[noreturn]] void throwArgumentCountMismatch(std::size_t expected, std::size_t given);
[[noreturn]] void throwArgumentTypeMismatch(std::size_t index);
[[noreturn]] void throwResultTypeMismatch(std::string_view className, std::string_view selector);

template <class T>
decltype(auto) argument(const Arguments& args, std::size_t index) {
  using D = std::decay_t<T>;
  const D* p = std::any_cast<D>(&args[index]);
  if (!p) throwArgumentTypeMismatch(index);
  return *p;
}

template <class R, class... A, std::size_t... I>
std::any invoke(const std::function<R(A...)>& f, const Arguments& args, std::index_sequence<I...>) {
  if constexpr (std::is_void_v<R>) {
    f(argument<A>(args, I)...);
    return {};
  } else {
    return std::any(f(argument<A>(args, I)...));
  }
}
}  // namespace detail

// Wraps a typed function as a class method.
template <class R, class... A>
Method method(std::function<R(A...)> f) {
  return [f = std::move(f)](const Arguments& args) -> std::any {
    if (args.size() != sizeof...(A)) detail::throwArgumentCountMismatch(sizeof...(A), args.size());
    return detail::invoke(f, args, std::index_sequence_for<A...>{});
  };
}
template <class F>
Method method(F f) {
  return method(std::function(std::move(f)));
}

class Class {
 public:
  explicit Class(ClassDefinition definition) : d_(std::move(definition)) {}

  const std::string& name() const { return d_.name; }
  bool conformsToProtocol(std::string_view protocolName) const { return d_.protocols.contains(protocolName); }
  // Class methods only.
  bool respondsToSelector(std::string_view selector) const { return d_.classMethods.contains(selector); }
  // Sends a class method; an unknown selector raises kInvalidArgumentException as the platform does.
  std::any perform(std::string_view selector, const Arguments& arguments = {}) const;

  template <class R = void, class... A>
  R call(std::string_view selector, A&&... args) const {
    std::any result = perform(selector, Arguments{std::any(std::decay_t<A>(std::forward<A>(args)))...});
    if constexpr (!std::is_void_v<R>) {
      R* r = std::any_cast<R>(&result);
      if (!r) detail::throwResultTypeMismatch(d_.name, selector);
      return std::move(*r);
    }
  }

  std::string description() const { return d_.name; }

 private:
  ClassDefinition d_;
};

// Registers a class; a second class of the same name raises kInternalInconsistencyException.
std::shared_ptr<const Class> registerClass(ClassDefinition definition);
// The class of that name, or null when no such class is in the process.
std::shared_ptr<const Class> classNamed(std::string_view name);
// Tests only: takes a class out again.
void unregisterClass(std::string_view name);

}  // namespace platform::runtime
