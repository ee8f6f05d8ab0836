// The one printf-style formatter of the system. Besides the C conversions it knows "%@", which
// prints the description of a Value, an Error, or any object with a description() member
// ("(null)" for a null pointer or a null Value).
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "platform/foundation/value.h"

namespace platform {

template <class T>
concept Describable = requires(const T& t) {
  { t.description() } -> std::convertible_to<std::string>;
};

class FormatArg {
 public:
  struct Pointer {
    const void* p;
  };
  struct Described {
    std::string text;
  };
  using Storage = std::variant<std::int64_t, std::uint64_t, double, std::string_view, Pointer, Described, const Value*>;

  FormatArg(bool b) : v_(std::int64_t{b}) {}
  FormatArg(char c) : v_(std::int64_t{c}) {}
  template <std::signed_integral T>
  FormatArg(T i) : v_(std::int64_t{i}) {}
  template <std::unsigned_integral T>
  FormatArg(T u) : v_(std::uint64_t{u}) {}
  template <std::floating_point T>
  FormatArg(T d) : v_(double{d}) {}
  FormatArg(const char* s) : v_(s ? Storage(std::string_view(s)) : Storage(Described{"(null)"})) {}
  FormatArg(char* s) : FormatArg(static_cast<const char*>(s)) {}
  FormatArg(const std::string& s) : v_(std::string_view(s)) {}
  FormatArg(std::string_view s) : v_(s) {}
  FormatArg(const Value& v) : v_(&v) {}
  FormatArg(std::nullptr_t) : v_(Described{"(null)"}) {}
  // An object with a description() member.
  template <Describable T>
    requires(!std::same_as<T, Value>)
  FormatArg(const T& t) : v_(Described{t.description()}) {}
  // A pointer to such an object prints its description (or "(null)"); any other pointer is a %p.
  template <class T>
  FormatArg(T* p) : v_(describePointer(p)) {}
  template <class T>
  FormatArg(const std::shared_ptr<T>& p) : v_(describePointer(p.get())) {}

  const Storage& storage() const { return v_; }

 private:
  template <class T>
  static Storage describePointer(T* p) {
    if constexpr (std::is_void_v<T>) {
      return Pointer{p};
    } else if constexpr (Describable<T>) {
      return p ? Storage(Described{p->description()}) : Storage(Described{"(null)"});
    } else {
      return Pointer{static_cast<const void*>(p)};
    }
  }
  Storage v_;
};

std::string formatArgs(std::string_view fmt, std::span<const FormatArg> args);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return formatArgs(fmt, {});
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return formatArgs(fmt, list);
  }
}

}  // namespace platform
