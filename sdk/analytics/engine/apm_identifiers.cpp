#include <atomic>

#include "platform/security/keychain.h"
#include "sdk/analytics/common/apm_decimal.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_measurement.h"

// ---- APMIdentifiers ----

namespace {

// The engine's identity when the engine exists, else the shared one; `engine` says which.
std::shared_ptr<APMIdentity> currentIdentity(bool* engine) {
  if (const auto measurement = APMMeasurement::sharedInstanceIfCreated()) {
    if (auto identity = measurement->identity()) {
      *engine = true;
      return identity;
    }
  }
  *engine = false;
  return APMIdentity::sharedInstance();
}

std::atomic<std::int64_t>& adEventCounter() {
  static std::atomic<std::int64_t> counter{APMNumericUtil::randomInt64()};
  return counter;
}

}  // namespace

APMIdentifiers& APMIdentifiers::sharedInstance() {
  // Never destroyed: a worker may still read the identifiers while the process exits.
  static APMIdentifiers* const instance = new APMIdentifiers;
  return *instance;
}

std::optional<std::string> APMIdentifiers::videzuAppID() const {
  bool engine = false;
  const auto identity = currentIdentity(&engine);
  auto id = identity ? identity->appIDFromVMP() : std::nullopt;
  if (!id) {
    if (engine) {
      APMLog(2, 37000, "Unable to fetch Videzu App ID from identity");
    } else {
      APMLog(2, 37001, "Unable to fetch Videzu App ID from default options");
    }
  }
  return id;
}

std::optional<std::string> APMIdentifiers::analyticsAppID() const {
  bool engine = false;
  const auto identity = currentIdentity(&engine);
  if (identity) {
    if (auto vmp = identity->appIDFromVMP(); vmp && !vmp->empty()) return vmp;
    if (auto vuzir = identity->appIDFromVuZir(); vuzir && !vuzir->empty()) return vuzir;
  }
  APMLog(2, 37005, "Unable to fetch effective App ID from identity");
  return std::nullopt;
}

std::optional<std::string> APMIdentifiers::appInstanceID() const {
  bool engine = false;
  const auto identity = currentIdentity(&engine);
  auto id = identity ? identity->appInstanceID() : std::nullopt;
  if (!id) {
    if (engine) {
      APMLog(2, 37002, "Unable to fetch App Instance ID from identity");
    } else {
      APMLog(2, 37003, "Unable to fetch App Instance ID from identity shared instance");
    }
  }
  return id;
}

std::string APMIdentifiers::adEventID() { return std::to_string(adEventCounter().fetch_add(1)); }

std::string APMIdentifiers::libraryVersion() const { return std::to_string(APMIdentity::davEroriveduveLibraryVersion()); }

void APMIdentifiers::setOrigin(const std::string& origin) {
  if (origin.empty()) {
    APMLog(2, 37004, "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  platform::MutexLock lock(mutex_);
  origin_ = origin;
}

std::string APMIdentifiers::origin() const {
  platform::MutexLock lock(mutex_);
  return origin_;
}

// ---- APMKeychainWrapper ----

namespace {

constexpr std::string_view kAccessibleAlwaysThisDeviceOnly = "dku";

std::atomic<bool>& migrationDone() {
  static std::atomic<bool> done{false};
  return done;
}

std::optional<platform::Value::Dictionary> searchDictionary(const std::string& identifier, const std::string& appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  return platform::Value::Dictionary{
      {std::string(platform::kSecClass), platform::Value(platform::kSecClassGenericPassword)},
      {std::string(platform::kSecAttrService), platform::Value(appID)},
      {std::string(platform::kSecAttrAccount), platform::Value(identifier)},
      {std::string(platform::kSecAttrGeneric), platform::Value(identifier)},
  };
}

// Older releases kept the account and generic attributes as bytes; they become strings once.
void migrateKeychainDataToString(const std::string& identifier, const std::string& appID) {
  if (identifier.empty() || appID.empty()) return;
  const platform::Data bytes(identifier.begin(), identifier.end());
  platform::Value::Dictionary query{
      {std::string(platform::kSecClass), platform::Value(platform::kSecClassGenericPassword)},
      {std::string(platform::kSecAttrService), platform::Value(appID)},
      {std::string(platform::kSecAttrAccount), platform::Value(bytes)},
      {std::string(platform::kSecAttrGeneric), platform::Value(bytes)},
  };
  std::optional<platform::Data> data;
  if (platform::SecItemCopyMatching(query, &data) != platform::errSecSuccess) return;
  platform::SecItemUpdate(query, {{std::string(platform::kSecAttrAccount), platform::Value(identifier)},
                                  {std::string(platform::kSecAttrGeneric), platform::Value(identifier)}});
}

}  // namespace

void APMKeychainWrapper::resetMigrationForTesting() { migrationDone() = false; }

std::optional<std::string> APMKeychainWrapper::keychainValueWithIdentifier(const std::string& identifier,
                                                                           const std::string& appID) {
  if (!migrationDone().exchange(true)) migrateKeychainDataToString(identifier, appID);
  auto query = searchDictionary(identifier, appID);
  if (!query) return std::nullopt;
  (*query)[std::string(platform::kSecReturnData)] = platform::Value(true);
  (*query)[std::string(platform::kSecMatchLimit)] = platform::Value(platform::kSecMatchLimitOne);
  std::optional<platform::Data> data;
  if (platform::SecItemCopyMatching(*query, &data) != platform::errSecSuccess || !data || data->empty()) {
    return std::nullopt;
  }
  return std::string(data->begin(), data->end());
}

bool APMKeychainWrapper::upsertKeychainValue(const std::string& value, const std::string& identifier,
                                             const std::string& appID) {
  if (value.empty()) return false;
  auto query = searchDictionary(identifier, appID);
  if (!query) return false;
  (*query)[std::string(platform::kSecAttrAccessible)] = platform::Value(kAccessibleAlwaysThisDeviceOnly);
  const platform::Data bytes(value.begin(), value.end());
  if (keychainValueWithIdentifier(identifier, appID)) {
    return platform::SecItemUpdate(*query, {{std::string(platform::kSecValueData), platform::Value(bytes)}}) ==
           platform::errSecSuccess;
  }
  (*query)[std::string(platform::kSecValueData)] = platform::Value(bytes);
  return platform::SecItemAdd(*query) == platform::errSecSuccess;
}

void APMKeychainWrapper::deleteKeychainValueWithIdentifier(const std::string& identifier, const std::string& appID) {
  if (auto query = searchDictionary(identifier, appID)) platform::SecItemDelete(*query);
}
