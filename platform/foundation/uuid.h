// A universally unique identifier: 16 bytes, written as the platform writes it
// ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class UUID {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // A new random (version 4) identifier, as the platform makes one.
  UUID();
  explicit UUID(const Bytes& bytes) : bytes_(bytes) {}
  // Parses the 36-character form with hyphens, in either letter case; anything else gives none.
  static std::optional<UUID> fromString(std::string_view text);

  const Bytes& bytes() const { return bytes_; }
  // Upper-case hexadecimal with hyphens, 36 characters.
  std::string UUIDString() const;

  friend auto operator<=>(const UUID&, const UUID&) = default;
  std::size_t hash() const;

 private:
  Bytes bytes_{};
};

}  // namespace platform

template <>
struct std::hash<platform::UUID> {
  std::size_t operator()(const platform::UUID& u) const { return u.hash(); }
};
