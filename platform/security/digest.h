// Message digests and random numbers (OpenSSL underneath).
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace platform {

namespace Digest {
std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> bytes);
}  // namespace Digest

namespace SecureRandom {
// A uniformly drawn 32-bit number from the system's generator.
std::uint32_t uint32();
}  // namespace SecureRandom

}  // namespace platform
