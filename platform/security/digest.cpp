#include "platform/security/digest.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <random>

namespace platform {

std::array<std::uint8_t, 20> Digest::sha1(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 20> out{};
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), out.data(), &size, EVP_sha1(), nullptr);
  return out;
}

std::uint32_t SecureRandom::uint32() {
  std::uint32_t value = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value) != 1) {
    // The generator is unavailable: fall back on the system's entropy source.
    std::random_device device;
    value = device();
  }
  return value;
}

}  // namespace platform
