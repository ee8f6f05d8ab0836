// A key and a self-signed certificate for 127.0.0.1 and "localhost", made fresh for the HTTPS
// listener so that no private key is ever committed.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>

namespace local_service {

struct SelfSignedIdentity {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> certificate{nullptr, X509_free};
  std::string certificatePEM;
};

// Valid from an hour ago for a day. None when OpenSSL fails.
std::optional<SelfSignedIdentity> makeSelfSignedIdentity();

}  // namespace local_service
