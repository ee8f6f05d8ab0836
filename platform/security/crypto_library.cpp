#include "platform/security/crypto_library.h"

#include <openssl/crypto.h>

#include <mutex>

namespace platform {

void CryptoLibrary::initialize() {
  static std::once_flag once;
  std::call_once(once, [] { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_CONFIG, nullptr); });
}

}  // namespace platform
