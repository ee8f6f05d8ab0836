// Server trust: the certificate chain a TLS server presented for a host, and its evaluation
// against the system's trusted roots (OpenSSL underneath) with the host name checked too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {

using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;

enum class SecTrustResultType : std::uint32_t {
  Invalid = 0,
  Proceed = 1,
  Deny = 3,
  Unspecified = 4,
  RecoverableTrustFailure = 5,
  FatalTrustFailure = 6,
  OtherError = 7,
};

class SecTrust {
 public:
  // `certificates`: DER, the leaf first.
  SecTrust(std::string host, std::vector<Data> certificates)
      : host_(std::move(host)), certificates_(std::move(certificates)) {}

  const std::string& host() const { return host_; }
  const std::vector<Data>& certificates() const { return certificates_; }

  // Unspecified when the chain leads to a trusted root and names the host; RecoverableTrustFailure
  // when it does not. A status other than errSecSuccess when the chain cannot be read at all.
  OSStatus evaluate(SecTrustResultType& result) const;

  // Roots trusted besides the system's, as a user installing a certificate would (PEM text; an
  // empty list forgets them). Tests trust the local service's own certificate this way.
  static bool setAdditionalAnchorCertificates(const std::vector<std::string>& pem);

 private:
  std::string host_;
  std::vector<Data> certificates_;
};

}  // namespace platform
