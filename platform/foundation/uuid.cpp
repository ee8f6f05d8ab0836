#include "platform/foundation/uuid.h"

#include <uuid/uuid.h>

#include <cstring>

namespace platform {

UUID::UUID() { uuid_generate_random(bytes_.data()); }

std::optional<UUID> UUID::fromString(std::string_view text) {
  // uuid_parse reads a C string, so the length is checked here, where embedded NULs are visible.
  if (text.size() != 36) return std::nullopt;
  char buffer[37];
  std::memcpy(buffer, text.data(), 36);
  buffer[36] = '\0';
  Bytes bytes{};
  if (uuid_parse(buffer, bytes.data()) != 0) return std::nullopt;
  return UUID(bytes);
}

std::string UUID::UUIDString() const {
  char buffer[37];
  uuid_unparse_upper(bytes_.data(), buffer);
  return std::string(buffer, 36);
}

std::size_t UUID::hash() const {
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  std::memcpy(&a, bytes_.data(), 8);
  std::memcpy(&b, bytes_.data() + 8, 8);
  return std::hash<std::uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
}

}  // namespace platform
