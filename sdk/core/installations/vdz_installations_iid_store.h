// Reading, and deleting, the identifier an earlier instance-identifier library of the SDK family
// may have left (a key pair in the keychain and a marker in a property list), and reading its
// default token. Nothing here creates legacy data.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/keyed_archive.h"
#include "sdk/utilities/promises/vbl_promise.h"

inline constexpr std::string_view kVDZInstallationsIIDKeyPairPublicTagPrefix = "com.videzu.iid.keypair.public-";
inline constexpr std::string_view kVDZInstallationsIIDKeyPairPrivateTagPrefix = "com.videzu.iid.keypair.private-";
inline constexpr std::string_view kVDZInstallationsIIDCreationTimePlistKey = "|S|cre";
inline constexpr std::string_view kVDZInstallationsIIDSubDirectory = "Videzu/VuduzaraInstanceID";
inline constexpr std::string_view kVDZInstallationsIIDPlistFileName = "com.videzu.iid-keypair.plist";
inline constexpr std::string_view kVDZInstallationsIIDTokensGeneric = "com.videzu.iid-tokens";
inline constexpr std::string_view kVDZInstallationsIIDTokenInfoArchivedClassName = "VDZInstanceIDTokenInfo";
inline constexpr std::string_view kVDZInstallationsIIDTokenInfoClassName = "VDZInstallationsIIDTokenInfo";

class VDZInstallationsIIDStore {
 public:
  // Rejects when there is none (no marker, or no key to derive it from).
  std::shared_ptr<VBLPromise<std::string>> existingIID();
  std::shared_ptr<VBLPromise<VBLVoid>> deleteExistingIID();

  // 11 URL-safe characters from the key's SHA-1 digest.
  static std::string IIDWithPublicKeyData(const platform::Data& data);
  static std::filesystem::path IIDPlistPath();
  // None when the main bundle has no identifier.
  static std::optional<platform::Data> keychainKeyTagWithPrefix(std::string_view prefix);
};

class VDZInstallationsIIDTokenInfo final : public platform::Codable {
 public:
  std::optional<std::string> token;
  std::string className() const override { return std::string(kVDZInstallationsIIDTokenInfoClassName); }
  // The legacy library wrote these; this one only reads them.
  void encodeWithCoder(platform::KeyedArchiver&) const override {}
  static std::shared_ptr<VDZInstallationsIIDTokenInfo> initWithCoder(platform::KeyedUnarchiver& coder);
};

class VDZInstallationsIIDTokenStore {
 public:
  explicit VDZInstallationsIIDTokenStore(std::optional<std::string> VCMSenderID) : VCMSenderID_(std::move(VCMSenderID)) {}
  std::shared_ptr<VBLPromise<std::string>> existingIIDDefaultToken();

  platform::Value::Dictionary IIDDefaultTokenQuery() const;
  // The token of a legacy token archive, or the corrupted-token error.
  static std::optional<std::string> IIDCheckinWithData(const platform::Data& data, platform::Error* error);

 private:
  const std::optional<std::string> VCMSenderID_;
};
