#include "platform/security/digest.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <random>

#include "platform/security/crypto_library.h"

namespace platform {

namespace {

template <std::size_t N>
std::array<std::uint8_t, N> digest(const EVP_MD* (*type)(), std::span<const std::uint8_t> bytes) {
  CryptoLibrary::initialize();
  std::array<std::uint8_t, N> out{};
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), out.data(), &size, type(), nullptr);
  return out;
}

}  // namespace

std::array<std::uint8_t, 16> Digest::md5(std::span<const std::uint8_t> bytes) { return digest<16>(EVP_md5, bytes); }

std::array<std::uint8_t, 20> Digest::sha1(std::span<const std::uint8_t> bytes) { return digest<20>(EVP_sha1, bytes); }

std::array<std::uint8_t, 32> Digest::sha256(std::span<const std::uint8_t> bytes) {
  return digest<32>(EVP_sha256, bytes);
}

bool SecureRandom::fill(std::span<std::uint8_t> bytes) {
  CryptoLibrary::initialize();
  return RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1;
}

std::uint32_t SecureRandom::uint32() {
  std::uint32_t value = 0;
  if (!fill(std::span(reinterpret_cast<std::uint8_t*>(&value), sizeof value))) {
    // The generator is unavailable: fall back on the system's entropy source.
    std::random_device device;
    value = device();
  }
  return value;
}

}  // namespace platform
