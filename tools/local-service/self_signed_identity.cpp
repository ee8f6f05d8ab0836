#include "tools/local-service/self_signed_identity.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace local_service {

namespace {

bool addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

}  // namespace

std::optional<SelfSignedIdentity> makeSelfSignedIdentity() {
  SelfSignedIdentity identity;
  identity.key.reset(EVP_EC_gen("P-256"));
  identity.certificate.reset(X509_new());
  X509* certificate = identity.certificate.get();
  if (!identity.key || !certificate) return std::nullopt;

  unsigned char serial[8];
  if (RAND_bytes(serial, sizeof serial) != 1) return std::nullopt;
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serialSet = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
  BN_free(number);
  if (!serialSet) return std::nullopt;

  X509_NAME* name = X509_get_subject_name(certificate);
  const bool ok =
      X509_set_version(certificate, 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) &&
      X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600) &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                 -1, 0) == 1 &&
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("focus local service"),
                                 -1, -1, 0) == 1 &&
      X509_set_issuer_name(certificate, name) == 1 && X509_set_pubkey(certificate, identity.key.get()) == 1 &&
      addExtension(certificate, NID_basic_constraints, "critical,CA:TRUE") &&
      addExtension(certificate, NID_key_usage, "critical,digitalSignature,keyCertSign") &&
      addExtension(certificate, NID_ext_key_usage, "serverAuth") &&
      addExtension(certificate, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
      X509_sign(certificate, identity.key.get(), EVP_sha256()) > 0;
  if (!ok) return std::nullopt;

  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio || PEM_write_bio_X509(bio, certificate) != 1) {
    BIO_free(bio);
    return std::nullopt;
  }
  char* text = nullptr;
  const long length = BIO_get_mem_data(bio, &text);
  identity.certificatePEM.assign(text, static_cast<std::size_t>(length));
  BIO_free(bio);
  return identity;
}

}  // namespace local_service
