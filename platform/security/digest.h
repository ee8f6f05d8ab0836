// Message digests and random numbers (OpenSSL underneath, set up by CryptoLibrary).
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace platform {

namespace Digest {
std::array<std::uint8_t, 16> md5(std::span<const std::uint8_t> bytes);
std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> bytes);
std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> bytes);
}  // namespace Digest

namespace SecureRandom {
// A uniformly drawn 32-bit number from the system's generator.
std::uint32_t uint32();
// Fills `bytes` from the generator; false, and `bytes` unspecified, when it is unavailable.
bool fill(std::span<std::uint8_t> bytes);
}  // namespace SecureRandom

}  // namespace platform
