// A protocol as the runtime sees it: a name, and a test of whether an object adopts it. In C++ a
// protocol is an abstract class deriving (virtually) from runtime::Object that names itself with
// `static constexpr std::string_view kProtocolName`; Protocol::of<P>() is its runtime handle.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

#include "platform/runtime/object.h"

namespace platform::runtime {

template <class P>
concept NamedProtocol = std::derived_from<P, Object> && requires {
  { P::kProtocolName } -> std::convertible_to<std::string_view>;
};

class Protocol {
 public:
  using Conformance = bool (*)(const Object&);

  Protocol(std::string name, Conformance conformance) : name_(std::move(name)), conformance_(conformance) {}

  template <NamedProtocol P>
  static const Protocol& of() {
    static const Protocol protocol(std::string(P::kProtocolName),
                                   [](const Object& object) { return dynamic_cast<const P*>(&object) != nullptr; });
    return protocol;
  }

  const std::string& name() const { return name_; }
  bool isAdoptedBy(const Object& object) const { return conformance_ && conformance_(object); }
  std::string description() const { return name_; }

  // Protocols are known by name.
  friend bool operator==(const Protocol& a, const Protocol& b) { return a.name_ == b.name_; }

 private:
  std::string name_;
  Conformance conformance_;
};

}  // namespace platform::runtime
