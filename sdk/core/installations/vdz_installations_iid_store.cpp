#include "sdk/core/installations/vdz_installations_iid_store.h"

#include <mutex>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/security/digest.h"
#include "platform/security/keychain.h"
#include "sdk/core/installations/vdz_installations_errors.h"
#include "sdk/core/installations/vdz_installations_item.h"
#include "sdk/utilities/utilities/vul_keychain_utils.h"

using platform::Error;
using platform::Value;

namespace {

std::shared_ptr<platform::DispatchQueue> utilityQueue() {
  return platform::DispatchQueue::global(platform::QualityOfService::Utility);
}

std::string mainBundleIdentifier() {
  auto bundle = platform::Bundle::main();
  return bundle ? bundle->bundleIdentifier() : std::string();
}

// A small settings list; a larger file is not the legacy one.
constexpr std::uint64_t kMaxIIDPlistBytes = std::uint64_t{1} << 20;

std::optional<Value::Dictionary> readPlist(const std::filesystem::path& path) {
  auto bytes = platform::FileManager::defaultManager().contentsOfRegularFileNoLargerThan(path, kMaxIIDPlistBytes);
  if (!bytes) return std::nullopt;
  auto value = platform::PropertyList::read(*bytes);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->ifDictionary();
}

bool hasPlistIIDFlag() {
  auto plist = readPlist(VDZInstallationsIIDStore::IIDPlistPath());
  return plist && plist->contains(kVDZInstallationsIIDCreationTimePlistKey);
}

Value::Dictionary keyQuery(const platform::Data& tag) {
  return {{std::string(platform::kSecClass), Value(platform::kSecClassKey)},
          {std::string(platform::kSecAttrApplicationTag), Value(tag)},
          {std::string(platform::kSecAttrKeyType), Value(platform::kSecAttrKeyTypeRSA)}};
}

std::optional<platform::Data> IIDPublicKeyData() {
  auto tag = VDZInstallationsIIDStore::keychainKeyTagWithPrefix(kVDZInstallationsIIDKeyPairPublicTagPrefix);
  if (!tag) return std::nullopt;
  Value::Dictionary query = keyQuery(*tag);
  query[std::string(platform::kSecReturnData)] = Value(true);
  std::optional<platform::Data> data;
  if (platform::SecItemCopyMatching(query, &data) != platform::errSecSuccess) return std::nullopt;
  return data;
}

bool deleteKeychainKeyWithTagPrefix(std::string_view prefix, Error* error) {
  auto tag = VDZInstallationsIIDStore::keychainKeyTagWithPrefix(prefix);
  if (!tag) return true;
  const platform::OSStatus status = platform::SecItemDelete(keyQuery(*tag));
  if (status == platform::errSecSuccess || status == platform::errSecItemNotFound) return true;
  if (error) *error = VDZInstallationsErrorUtil::keychainErrorWithFunction("SecItemDelete", status);
  return false;
}

void registerTokenInfoClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::CodableClasses::registerClass<VDZInstallationsIIDTokenInfo>(
        std::string(kVDZInstallationsIIDTokenInfoClassName));
  });
}

}  // namespace

std::filesystem::path VDZInstallationsIIDStore::IIDPlistPath() {
  return platform::Home::applicationSupport() / kVDZInstallationsIIDSubDirectory / kVDZInstallationsIIDPlistFileName;
}

std::optional<platform::Data> VDZInstallationsIIDStore::keychainKeyTagWithPrefix(std::string_view prefix) {
  const std::string bundleID = mainBundleIdentifier();
  if (bundleID.empty()) return std::nullopt;
  const std::string tag = std::string(prefix) + bundleID;
  return platform::Data(tag.begin(), tag.end());
}

std::string VDZInstallationsIIDStore::IIDWithPublicKeyData(const platform::Data& data) {
  auto digest = platform::Digest::sha1(data);
  digest[0] = static_cast<std::uint8_t>(0x70 | (digest[0] & 0x0F));
  std::string text = VDZInstallationsItem::base64URLEncodedStringWithData(std::span(digest.data(), 8));
  std::erase(text, '=');
  return text;
}

std::shared_ptr<VBLPromise<std::string>> VDZInstallationsIIDStore::existingIID() {
  return VBLPromise<std::string>::do_(utilityQueue(), []() -> VBLResult<std::string> {
    if (!hasPlistIIDFlag()) return VBLPromiseValidationFailureError();
    // Without key data there is no identifier: a digest of nothing would be one value shared by
    // every device.
    auto keyData = IIDPublicKeyData();
    if (!keyData || keyData->empty()) return VBLPromiseValidationFailureError();
    std::string IID = IIDWithPublicKeyData(*keyData);
    // It goes into request paths once registered.
    if (!VDZInstallationsItem::isLegacyInstallationIDForm(IID)) return VBLPromiseValidationFailureError();
    return IID;
  });
}

std::shared_ptr<VBLPromise<VBLVoid>> VDZInstallationsIIDStore::deleteExistingIID() {
  return VBLPromise<VBLVoid>::do_(utilityQueue(), []() -> VBLResult<VBLVoid> {
    const auto path = IIDPlistPath();
    auto& files = platform::FileManager::defaultManager();
    if (files.fileExists(path)) {
      Value::Dictionary plist = readPlist(path).value_or(Value::Dictionary{});
      plist.erase(std::string(kVDZInstallationsIIDCreationTimePlistKey));
      Error error;
      auto bytes = platform::PropertyList::write(Value(std::move(plist)), platform::PropertyList::Format::XML, &error);
      if (!bytes || !files.writeAtomically(path, *bytes)) {
        if (!error) error = Error(std::string(platform::kCocoaErrorDomain), platform::kFileWriteUnknownError);
        return error;
      }
    }
    Error error;
    if (!deleteKeychainKeyWithTagPrefix(kVDZInstallationsIIDKeyPairPublicTagPrefix, &error)) return error;
    if (!deleteKeychainKeyWithTagPrefix(kVDZInstallationsIIDKeyPairPrivateTagPrefix, &error)) return error;
    return VBLVoid{};
  });
}

std::shared_ptr<VDZInstallationsIIDTokenInfo> VDZInstallationsIIDTokenInfo::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  auto info = std::make_shared<VDZInstallationsIIDTokenInfo>();
  info->token = coder.decodeStringForKey("token");
  return info;
}

Value::Dictionary VDZInstallationsIIDTokenStore::IIDDefaultTokenQuery() const {
  Value::Dictionary query{
      {std::string(platform::kSecClass), Value(platform::kSecClassGenericPassword)},
      {std::string(platform::kSecAttrGeneric), Value(kVDZInstallationsIIDTokensGeneric)},
      {std::string(platform::kSecAttrService), Value(platform::format("%@:%@", VCMSenderID_.value_or(""), "*"))}};
  const std::string bundleID = mainBundleIdentifier();
  if (!bundleID.empty()) query[std::string(platform::kSecAttrAccount)] = Value(bundleID);
  return query;
}

std::optional<std::string> VDZInstallationsIIDTokenStore::IIDCheckinWithData(const platform::Data& data, Error* error) {
  registerTokenInfoClass();
  Error openError;
  auto unarchiver = platform::KeyedUnarchiver::forReadingFromData(data, &openError);
  if (!unarchiver) {
    if (error) *error = openError ? openError : VDZInstallationsErrorUtil::corruptedIIDTokenData();
    return std::nullopt;
  }
  unarchiver->setClassForClassName(std::string(kVDZInstallationsIIDTokenInfoClassName),
                                   std::string(kVDZInstallationsIIDTokenInfoArchivedClassName));
  auto info = unarchiver->decodeObjectOfClass<VDZInstallationsIIDTokenInfo>(kVDZInstallationsIIDTokenInfoClassName,
                                                                            platform::kKeyedArchiveRootObjectKey);
  if (!info || !info->token || info->token->empty()) {
    if (error) *error = VDZInstallationsErrorUtil::corruptedIIDTokenData();
    return std::nullopt;
  }
  return info->token;
}

std::shared_ptr<VBLPromise<std::string>> VDZInstallationsIIDTokenStore::existingIIDDefaultToken() {
  const Value::Dictionary query = IIDDefaultTokenQuery();
  return VBLPromise<std::string>::do_(utilityQueue(), [query]() -> VBLResult<std::string> {
    Error error;
    auto data = VULKeychainUtils::getItemWithQuery(query, &error);
    if (!data) return error ? error : VDZInstallationsErrorUtil::corruptedIIDTokenData();
    auto token = IIDCheckinWithData(*data, &error);
    if (!token) return error;
    return *token;
  });
}
