#include "platform/net/server_trust.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/foundation/thread_safety.h"
#include "platform/security/crypto_library.h"

namespace platform {

namespace {

struct Anchors {
  Mutex mutex;
  std::vector<std::shared_ptr<X509>> certificates GUARDED_BY(mutex);
};

Anchors& anchors() {
  static auto* a = new Anchors;
  return *a;
}

std::shared_ptr<X509> fromDER(const Data& der) {
  const unsigned char* p = der.data();
  X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (!certificate) return nullptr;
  return std::shared_ptr<X509>(certificate, X509_free);
}

bool isIPAddress(const std::string& host) {
  ASN1_OCTET_STRING* ip = a2i_IPADDRESS(host.c_str());
  if (!ip) return false;
  ASN1_OCTET_STRING_free(ip);
  return true;
}

}  // namespace

bool SecTrust::setAdditionalAnchorCertificates(const std::vector<std::string>& pem) {
  CryptoLibrary::initialize();
  std::vector<std::shared_ptr<X509>> parsed;
  for (const std::string& text : pem) {
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    X509* certificate = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!certificate) return false;
    parsed.emplace_back(certificate, X509_free);
  }
  MutexLock lock(anchors().mutex);
  anchors().certificates = std::move(parsed);
  return true;
}

OSStatus SecTrust::evaluate(SecTrustResultType& result) const {
  result = SecTrustResultType::Invalid;
  if (certificates_.empty() || host_.empty()) return errSecParam;
  CryptoLibrary::initialize();
  std::vector<std::shared_ptr<X509>> chain;
  for (const Data& der : certificates_) {
    auto certificate = fromDER(der);
    if (!certificate) return errSecParam;
    chain.push_back(std::move(certificate));
  }

  X509_STORE* store = X509_STORE_new();
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  OSStatus status = errSecSuccess;
  if (!store || !untrusted || !context || X509_STORE_set_default_paths(store) != 1) {
    status = errSecParam;
  } else {
    {
      MutexLock lock(anchors().mutex);
      for (const auto& anchor : anchors().certificates) X509_STORE_add_cert(store, anchor.get());
    }
    for (std::size_t i = 1; i < chain.size(); ++i) sk_X509_push(untrusted, chain[i].get());
    if (X509_STORE_CTX_init(context, store, chain[0].get(), untrusted) != 1) {
      status = errSecParam;
    } else {
      X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
      X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
      const bool named = isIPAddress(host_) ? X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str()) == 1
                                            : X509_VERIFY_PARAM_set1_host(param, host_.c_str(), host_.size()) == 1;
      result = named && X509_verify_cert(context) == 1 ? SecTrustResultType::Unspecified
                                                       : SecTrustResultType::RecoverableTrustFailure;
    }
  }
  X509_STORE_CTX_free(context);
  sk_X509_free(untrusted);
  X509_STORE_free(store);
  return status;
}

}  // namespace platform
