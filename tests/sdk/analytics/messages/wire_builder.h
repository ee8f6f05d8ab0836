// Hand-built wire bytes for the decoder tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/foundation/value.h"

namespace wire {

inline platform::Data varint(std::uint64_t value) {
  platform::Data out;
  do {
    std::uint8_t byte = value & 0x7F;
    value >>= 7;
    out.push_back(value ? (byte | 0x80) : byte);
  } while (value);
  return out;
}

inline platform::Data operator+(platform::Data a, const platform::Data& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline platform::Data key(std::uint32_t tag, std::uint32_t wireType) { return varint((std::uint64_t{tag} << 3) | wireType); }
inline platform::Data number(std::uint32_t tag, std::uint64_t value) { return key(tag, 0) + varint(value); }
inline platform::Data bytes(std::uint32_t tag, const platform::Data& payload) {
  return key(tag, 2) + varint(payload.size()) + payload;
}
inline platform::Data text(std::uint32_t tag, const std::string& payload) {
  return bytes(tag, platform::Data(payload.begin(), payload.end()));
}
inline platform::Data fixed64(std::uint32_t tag, double value) {
  platform::Data out = key(tag, 1);
  std::uint8_t raw[8];
  std::memcpy(raw, &value, 8);
  out.insert(out.end(), raw, raw + 8);
  return out;
}

}  // namespace wire
