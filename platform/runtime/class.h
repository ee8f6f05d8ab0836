// Classes known to the runtime by name. A class has a superclass (none for a root class), the
// protocols it adopts, class methods, instance methods, an instance size and the instance
// variables it declares. Method tables can change while the process runs (methods added or
// replaced), and new classes can be made at run time as subclasses of existing ones
// (allocateClassPair, then registerClassPair). Code that may be left out of a build is reached
// by name, so its callers compile and run without it.
//
// Methods take and return std::any. Arguments must have exactly the parameter's type after
// decay (no derived-to-base conversion); a parameter taken by non-const reference is passed as
// std::ref(value). A mismatch raises kInvalidArgumentException.
#pragma once

#include <any>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/foundation/thread_safety.h"
#include "platform/runtime/object.h"

namespace platform::runtime {

using Arguments = std::vector<std::any>;
// A class method as classes are defined: the arguments only.
using Method = std::function<std::any(const Arguments&)>;
// What a method table holds: the receiver (for a class method, the class) and the arguments.
using ImplementationFunction = std::function<std::any(Object& self, const Arguments&)>;
// A method's implementation. Compared by identity: reading a method's implementation and
// installing it elsewhere (or calling it later) refers to the same code.
using IMP = std::shared_ptr<const ImplementationFunction>;

// An instance variable as the runtime describes it; `object` reads an object-typed variable
// (type encoding beginning with "@") of an instance.
struct Ivar {
  std::string name;
  std::string typeEncoding;
  std::function<std::shared_ptr<Object>(const Object& instance)> object;
};

class Class;

struct ClassDefinition {
  // Every member has a default, so a definition can name only the members it sets.
  std::string name{};
  std::set<std::string, std::less<>> protocols{};
  std::map<std::string, Method, std::less<>> classMethods{};
  std::shared_ptr<const Class> superclass{};
  std::map<std::string, IMP, std::less<>> instanceMethods{};
  // 0: the superclass's size.
  std::size_t instanceSize = 0;
  std::vector<Ivar> ivars{};
};

namespace detail {
[[noreturn]] void throwArgumentCountMismatch(std::size_t expected, std::size_t given);
[[noreturn]] void throwArgumentTypeMismatch(std::size_t index);
[[noreturn]] void throwResultTypeMismatch(std::string_view className, std::string_view selector);
[[noreturn]] void throwReceiverTypeMismatch();

template <class T>
decltype(auto) argument(const Arguments& args, std::size_t index) {
  using D = std::decay_t<T>;
  if constexpr (std::is_lvalue_reference_v<T> && !std::is_const_v<std::remove_reference_t<T>>) {
    auto* r = std::any_cast<std::reference_wrapper<D>>(&args[index]);
    if (!r) throwArgumentTypeMismatch(index);
    return r->get();
  } else {
    if (const D* p = std::any_cast<D>(&args[index])) return *p;
    if (auto* r = std::any_cast<std::reference_wrapper<D>>(&args[index])) return static_cast<const D&>(r->get());
    auto* c = std::any_cast<std::reference_wrapper<const D>>(&args[index]);
    if (!c) throwArgumentTypeMismatch(index);
    return c->get();
  }
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

template <class R, class Self, class... A, std::size_t... I>
std::any invokeOn(const std::function<R(Self&, A...)>& f, Self& self, const Arguments& args,
                  std::index_sequence<I...>) {
  if constexpr (std::is_void_v<R>) {
    f(self, argument<A>(args, I)...);
    return {};
  } else {
    return std::any(f(self, argument<A>(args, I)...));
  }
}

template <class T>
std::any packArgument(T&& value) {
  return std::any(std::decay_t<T>(std::forward<T>(value)));
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

// Makes an implementation of a typed function whose first parameter is the receiver (a
// reference to an Object type); a receiver of another type raises kInvalidArgumentException.
template <class R, class Self, class... A>
IMP implementation(std::function<R(Self&, A...)> f) {
  static_assert(std::is_base_of_v<Object, std::remove_const_t<Self>>, "the receiver must be an object");
  return std::make_shared<const ImplementationFunction>(
      [f = std::move(f)](Object& self, const Arguments& args) -> std::any {
        auto* receiver = dynamic_cast<Self*>(&self);
        if (!receiver) detail::throwReceiverTypeMismatch();
        if (args.size() != sizeof...(A)) detail::throwArgumentCountMismatch(sizeof...(A), args.size());
        return detail::invokeOn(f, *receiver, args, std::index_sequence_for<A...>{});
      });
}
template <class F>
IMP implementation(F f) {
  return implementation(std::function(std::move(f)));
}
// An implementation that takes the arguments as they come.
inline IMP implementationWithBlock(ImplementationFunction block) {
  return std::make_shared<const ImplementationFunction>(std::move(block));
}

// Classes are objects too: a class method's receiver is its class.
class Class : public Object {
 public:
  explicit Class(ClassDefinition definition);

  const std::string& name() const { return name_; }
  std::shared_ptr<const Class> superclass() const { return superclass_; }
  std::size_t instanceSize() const { return instanceSize_; }
  // The variables this class declares, in declaration order (not the inherited ones).
  const std::vector<Ivar>& ivars() const { return ivars_; }
  bool isSubclassOf(const Class& other) const;

  bool conformsToProtocol(std::string_view protocolName) const;

  // Class methods, inherited ones included.
  bool respondsToSelector(std::string_view selector) const { return classMethod(selector) != nullptr; }
  IMP classMethod(std::string_view selector) const;
  // Sends a class method; an unknown selector raises kInvalidArgumentException as the platform does.
  std::any perform(std::string_view selector, const Arguments& arguments = {}) const;

  template <class R = void, class... A>
  R call(std::string_view selector, A&&... args) const {
    std::any result = perform(selector, Arguments{detail::packArgument(std::forward<A>(args))...});
    if constexpr (!std::is_void_v<R>) {
      R* r = std::any_cast<R>(&result);
      if (!r) detail::throwResultTypeMismatch(name_, selector);
      return std::move(*r);
    }
  }

  // Instance methods, inherited ones included; null when no class of the chain has one.
  IMP instanceMethod(std::string_view selector) const;
  bool instancesRespondToSelector(std::string_view selector) const { return instanceMethod(selector) != nullptr; }

  // Method tables. `add` refuses (false) when this class itself already has the selector (an
  // inherited one is overridden); `replace` adds or replaces this class's own entry and answers
  // the entry it replaced (null when there was none). The superclass's table never changes.
  bool addInstanceMethod(std::string_view selector, IMP imp) const;
  IMP replaceInstanceMethod(std::string_view selector, IMP imp) const;
  bool addClassMethod(std::string_view selector, IMP imp) const;
  IMP replaceClassMethod(std::string_view selector, IMP imp) const;

  std::string description() const { return name_; }

 private:
  const std::string name_;
  const std::shared_ptr<const Class> superclass_;
  const std::set<std::string, std::less<>> protocols_;
  const std::size_t instanceSize_;
  const std::vector<Ivar> ivars_;
  // Changed by swizzling while other threads send messages.
  mutable Mutex mutex_;
  mutable std::map<std::string, IMP, std::less<>> classMethods_ GUARDED_BY(mutex_);
  mutable std::map<std::string, IMP, std::less<>> instanceMethods_ GUARDED_BY(mutex_);
};

// Registers a class; a second class of the same name raises kInternalInconsistencyException.
std::shared_ptr<const Class> registerClass(ClassDefinition definition);
// The class of that name, or null when no such class is in the process.
std::shared_ptr<const Class> classNamed(std::string_view name);
// Tests only: takes a class out again.
void unregisterClass(std::string_view name);

// The class registered under the definition's name: registers it unless a class of that name is
// already there (classes the platform makes on first use from any thread).
std::shared_ptr<const Class> registerClassOnce(ClassDefinition definition);

// A new subclass of `superclass`, not yet registered, with `extraBytes` more instance size;
// null when a class of that name is already registered. Add its methods, then register it.
std::shared_ptr<Class> allocateClassPair(const std::shared_ptr<const Class>& superclass, std::string name,
                                         std::size_t extraBytes);
// False when a class of the same name was registered meanwhile.
bool registerClassPair(const std::shared_ptr<const Class>& cls);

// The class named `name`, registered on first use as a subclass of `superclass` whose instance
// methods are `donor`'s implementations of `selectors`: how a C++ type that overrides some of a
// protocol's optional methods declares which ones it implements. Later calls answer the class
// registered first under that name.
std::shared_ptr<const Class> classWithMethodsOf(std::string_view name, const std::shared_ptr<const Class>& superclass,
                                                std::size_t instanceSize, const Class& donor,
                                                std::initializer_list<std::string_view> selectors);

// The root class "NSObject": `description` answers "<ClassName: address>".
std::shared_ptr<const Class> rootClass();

}  // namespace platform::runtime
