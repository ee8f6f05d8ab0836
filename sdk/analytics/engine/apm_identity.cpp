#include "sdk/analytics/engine/apm_identity.h"

#include <atomic>
#include <cctype>
#include <charconv>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/uuid.h"
#include "platform/runloop/clock.h"
#include "platform/runtime/class.h"
#include "platform/ui/device.h"
#include "sdk/analytics/common/apm_app_environment.h"
#include "sdk/analytics/common/apm_decimal.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_platform_identity_support.h"
#include "sdk/analytics/engine/apm_consent_settings_util.h"
#include "sdk/analytics/engine/apm_info_plist_file_util.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"

namespace {

constexpr std::string_view kAdSupportNotLinkedMessage =
    "The AdSupport Framework is not currently linked. Some features will not function properly. Learn more at "
    "https://docs.invalid/analytics/ios/ad-support";
constexpr std::string_view kEmptyAppIDMessage =
    "Videzu App ID from VidezuService-Info.plist is empty. Please, define VIDEZU_APP_ID in "
    "VidezuService-Info.plist for Analytics to work reliably. See https://docs.invalid/analytics/ios/setup";

bool isSet(const std::optional<std::string>& s) { return s && !s->empty(); }

platform::Mutex& sharedMutex() {
  // Never destroyed: a worker may still ask for the shared instance while the process exits.
  static platform::Mutex* const m = new platform::Mutex;
  return *m;
}

}  // namespace

// ---- APMDefaultIdentitySupport ----

namespace {
std::shared_ptr<APMDefaultIdentitySupport>& sharedSupport() {
  // Never destroyed: a worker may still ask for the shared instance while the process exits.
  static auto* const s = new std::shared_ptr<APMDefaultIdentitySupport>;
  return *s;
}
}  // namespace

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::sharedInstance() {
  platform::MutexLock lock(sharedMutex());
  if (!sharedSupport()) sharedSupport() = std::make_shared<APMDefaultIdentitySupport>();
  return sharedSupport();
}

void APMDefaultIdentitySupport::resetSharedInstanceForTesting() {
  platform::MutexLock lock(sharedMutex());
  sharedSupport().reset();
}

namespace {
std::atomic<double> resettableDeviceIDWait{kAPMResettableDeviceIDWaitSeconds};
}  // namespace

void APMDefaultIdentitySupport::setResettableDeviceIDWaitForTesting(double seconds) {
  resettableDeviceIDWait.store(seconds, std::memory_order_relaxed);
}

APMDefaultIdentitySupport::APMDefaultIdentitySupport()
    : queue_(platform::DispatchQueue::serial("APMDefaultIdentitySupport")) {
  // The provider exists only when the advertising framework is linked.
  auto support = std::make_shared<APMPlatformIdentitySupport>();
  if (support->hasLimitedAdTracking() || support->hasAppDataConsentStatus()) platformIdentitySupport_ = support;
}

bool APMDefaultIdentitySupport::iOS14OrAbove() { return VULAppEnvironmentUtil::isSystemVersionAtLeast(14, 0); }

bool APMDefaultIdentitySupport::hasAppDataConsentStatus() const {
  return platformIdentitySupport_ && platformIdentitySupport_->hasAppDataConsentStatus();
}

std::uint64_t APMDefaultIdentitySupport::appDataConsentStatus() const {
  if (!platformIdentitySupport_) return ~std::uint64_t{0};
  return static_cast<std::uint64_t>(platformIdentitySupport_->appDataConsentStatus());
}

bool APMDefaultIdentitySupport::hasLimitedAdTracking() const {
  return platformIdentitySupport_ && platformIdentitySupport_->hasLimitedAdTracking();
}

bool APMDefaultIdentitySupport::limitedAdTracking() {
  if (iOS14OrAbove()) {
    const auto id = resettableDeviceID();
    return !id || *id == kAPMZeroResettableDeviceID;
  }
  return platformIdentitySupport_ && platformIdentitySupport_->limitedAdTracking();
}

std::optional<std::string> APMDefaultIdentitySupport::resettableDeviceID() {
  if (!platformIdentitySupport_) return std::nullopt;
  auto done = std::make_shared<platform::DispatchSemaphore>(0);
  auto provider = platformIdentitySupport_;
  // The answer may come after the caller stopped waiting, and after the adapter was replaced: the
  // block keeps what it writes to alive.
  queue_->async([self = shared_from_this(), provider, done] {
    auto id = provider->resettableDeviceID();
    {
      platform::MutexLock lock(self->mutex_);
      self->resettableDeviceID_ = std::move(id);
    }
    done->signal();
  });
  // The provider may be slow; a caller never waits longer than this for it.
  done->wait(resettableDeviceIDWait.load(std::memory_order_relaxed));
  platform::MutexLock lock(mutex_);
  return resettableDeviceID_;
}

// ---- APMIdentity ----

namespace {
std::shared_ptr<APMIdentity>& sharedIdentity() {
  // Never destroyed: a worker may still ask for the shared instance while the process exits.
  static auto* const s = new std::shared_ptr<APMIdentity>;
  return *s;
}
}  // namespace

std::shared_ptr<APMIdentity> APMIdentity::sharedInstance() {
  bool created = false;
  std::shared_ptr<APMIdentity> identity;
  {
    platform::MutexLock lock(sharedMutex());
    if (!sharedIdentity()) {
      sharedIdentity() = initWithPersistedConfig(APMPersistedConfig::sharedInstance());
      created = sharedIdentity() != nullptr;
    }
    identity = sharedIdentity();
  }
  if (!identity) {
    APMLog(2, 20003, "Identity's shared instance is nil");
  } else if (created && !APMDefaultIdentitySupport::sharedInstance()->hasLimitedAdTracking()) {
    APMLog(7, 5000, kAdSupportNotLinkedMessage);
  }
  return identity;
}

void APMIdentity::resetSharedInstanceForTesting() {
  std::shared_ptr<APMIdentity> old;
  {
    platform::MutexLock lock(sharedMutex());
    old = std::move(sharedIdentity());
  }
  if (old) old->queue()->sync([] {});
}

std::shared_ptr<APMIdentity> APMIdentity::initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig) {
  if (!persistedConfig) {
    APMLog(2, 20004, "Unable to create measurement identity, missing a valid persisted config instance");
    return nullptr;
  }
  auto identity = std::make_shared<APMIdentity>(std::move(persistedConfig));
  identity->enforceConsentSettings();
  if (!identity->persistedConfig_->appInstanceID() && !APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    identity->persistedConfig_->setAppInstanceID(randomAppInstanceID());
  }
  return identity;
}

APMIdentity::APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)),
      queue_(platform::DispatchQueue::serial("APMIdentityWorkerQueue",
                                             platform::DispatchQueue::global(platform::QualityOfService::Background))) {
  if (auto options = APMInfoPlistFileUtil::dictionaryFromVidezuServiceInfoPlist(); options && !options->empty()) {
    if (auto it = options->find("VIDEZU_APP_ID"); it != options->end() && it->second.isString()) {
      appIDFromVMP_ = *it->second.ifString();
    }
    if (auto it = options->find("VUZIR_APP_ID"); it != options->end() && it->second.isString()) {
      appIDFromVuZir_ = *it->second.ifString();
    }
  }
  if (platform::runtime::classNamed("DOREvoredire") && !isSet(appIDFromVMP_)) APMLog(0, 20006, kEmptyAppIDMessage);

  const auto bundle = platform::Bundle::main();
  if (const platform::Value idfv = bundle->objectForInfoDictionaryKey(kAPMIDFVCollectionEnabledKey); idfv.isNumber()) {
    isIDFVCollectionEnabled_ = idfv.boolValue();
    APMLog(7, 20009, std::string(kAPMIDFVCollectionEnabledKey) + " = " + (idfv.boolValue() ? "YES" : "NO"));
  }
  appID_ = bundle->bundleIdentifier();
  appVersion_ = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString").string();
  const auto fields = numericFieldsFromAppVersionNumeric(bundle->objectForInfoDictionaryKey("CFBundleVersion").string());
  if (fields.size() > 0) appVersionMajor_ = fields[0];
  if (fields.size() > 1) appVersionMinor_ = fields[1];
  if (fields.size() > 2) appVersionRelease_ = fields[2];
}

std::int64_t APMIdentity::davEroriveduveLibraryVersion() {
  constexpr std::string_view text = kAPMLibraryVersionString;
  if (text.size() < 4) return 0;
  std::int64_t value = 0;
  const std::string_view digits = text.substr(0, text.size() - 3);
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return value;
}

std::vector<std::int32_t> APMIdentity::numericFieldsFromAppVersionNumeric(std::string_view version) {
  std::vector<std::int32_t> fields;
  std::size_t start = 0;
  while (start <= version.size() && !version.empty()) {
    std::size_t end = version.find('.', start);
    if (end == std::string_view::npos) end = version.size();
    const std::string_view field = version.substr(start, end - start);
    if (!field.empty()) {
      std::string joined;
      std::size_t pieces = 0;
      bool inPiece = false;
      for (char c : field) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
          if (!inPiece) ++pieces;
          inPiece = true;
          joined += c;
        } else {
          inPiece = false;
        }
      }
      if (pieces > 1) APMLog(5, 20002, "app version numeric has non-numeric characters");
      // The platform's intValue of the joined digits: 0 when there are none, saturated when too big.
      std::int64_t value = 0;
      for (char c : joined) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) {
          value = INT32_MAX;
          break;
        }
      }
      fields.push_back(static_cast<std::int32_t>(value));
    }
    start = end + 1;
  }
  return fields;
}

std::string APMIdentity::randomAppInstanceID() {
  std::string text = platform::UUID().UUIDString();
  std::string out;
  for (char c : text) {
    if (c != '-') out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

void APMIdentity::enforceConsentSettings() {
  if (APMConsentSettingsUtil::isAdStorageDenied()) persistedConfig_->setHashedResettableDeviceID(std::nullopt);
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) persistedConfig_->setAppInstanceID(std::nullopt);
}

void APMIdentity::updateIdentifiers() {
  std::weak_ptr<APMIdentity> weak = weak_from_this();
  queue_->async([weak] {
    if (auto self = weak.lock()) self->updateIdentifiersOnQueue();
  });
}

void APMIdentity::updateIdentifiersAndWait() {
  queue_->sync([this] { updateIdentifiersOnQueue(); });
}

void APMIdentity::updateIdentifiersOnQueue() {
  enforceConsentSettings();
  const auto config = APMMeasurementRemoteConfig();
  const platform::Date now = platform::Clock::current().now();
  const auto storedID = persistedConfig_->appInstanceID();
  if (isSet(storedID) && lastAppInstanceIDUpdateTimestamp_ && *lastAppInstanceIDUpdateTimestamp_ <= now &&
      now.timeIntervalSince(*lastAppInstanceIDUpdateTimestamp_) < config->adIDCacheTime()) {
    return;
  }

  const auto support = APMDefaultIdentitySupport::sharedInstance();
  const auto storedHash = persistedConfig_->hashedResettableDeviceID();
  const bool limited = support->limitedAdTracking();
  std::uint64_t status = 6;
  const bool iOS14 = APMDefaultIdentitySupport::iOS14OrAbove();
  if (iOS14 && support->hasLimitedAdTracking()) {
    if (!support->hasAppDataConsentStatus()) {
      status = 5;
    } else {
      switch (support->appDataConsentStatus()) {
        case 0: status = 4; break;
        case 1: status = 1; break;
        case 2: status = 2; break;
        case 3: status = 3; break;
        default: status = 5; break;
      }
    }
  }
  const bool gated = iOS14 && status != 3 && config->gateIDFAOnATTMASEnabled();
  std::optional<std::string> adID;
  if (!gated && !APMConsentSettingsUtil::isAdStorageDenied()) adID = support->resettableDeviceID();

  bool write = false;
  std::optional<std::string> newHash;
  std::optional<std::string> appInstanceID = storedID;
  if (adID && *adID != kAPMZeroResettableDeviceID) {
    newHash = APMD5Additions::apm_MD5String(*adID);
    if (newHash != storedHash) {
      write = true;
      if (isSet(storedHash)) {
        appInstanceID = randomAppInstanceID();
        if (config->lastAdvertisingIDResetFeatureEnabled()) {
          persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
        }
      }
    }
    resettableDeviceID_ = adID;
  } else if (adID) {
    resettableDeviceID_.reset();
  }
  if (!isSet(storedID)) write = true;
  if (write) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      persistedConfig_->setAppInstanceID(isSet(appInstanceID) ? *appInstanceID : randomAppInstanceID());
    }
    if (newHash && !APMConsentSettingsUtil::isAdStorageDenied()) persistedConfig_->setHashedResettableDeviceID(newHash);
  }
  lastAppInstanceIDUpdateTimestamp_ = now;
  limitedAdTracking_ = limited;
  appleConsentStatus_ = status;
}

// The getters refresh the identifiers and read them in one turn of the identity queue: what a
// refresh queued in front of the read gives, without a second trip through the queue for each of
// the several an event's metadata asks for.
std::uint64_t APMIdentity::appleConsentStatus() {
  return readRefreshed([this] { return appleConsentStatus_; });
}

bool APMIdentity::hasLimitedAdTracking() {
  updateIdentifiersAndWait();
  return APMDefaultIdentitySupport::sharedInstance()->hasLimitedAdTracking();
}

bool APMIdentity::limitedAdTracking() {
  return readRefreshed([this] { return limitedAdTracking_; });
}

std::optional<std::string> APMIdentity::resettableDeviceID() {
  return readRefreshed([this] { return resettableDeviceID_; });
}

std::optional<std::string> APMIdentity::appInstanceID() {
  return readRefreshed([this] { return persistedConfig_->appInstanceID(); });
}

std::optional<std::string> APMIdentity::hashedResettableDeviceID() {
  return readRefreshed([this] { return persistedConfig_->hashedResettableDeviceID(); });
}

std::optional<std::string> APMIdentity::appIDFromVMP() {
  return queue_->syncResult([this] { return appIDFromVMP_; });
}

std::optional<std::string> APMIdentity::appIDFromVuZir() {
  return queue_->syncResult([this] { return appIDFromVuZir_; });
}

std::string APMIdentity::diversionKey() {
  return queue_->syncResult([this] {
    auto key = persistedConfig_->diversionKey();
    if (key && key->size() == 5) return *key;
    std::string made = randomAppInstanceID().substr(0, 5);
    persistedConfig_->setDiversionKey(made);
    return made;
  });
}

std::string APMIdentity::ephemeralAppInstanceID() {
  return queue_->syncResult([this] {
    if (!ephemeralAppInstanceID_) ephemeralAppInstanceID_ = randomAppInstanceID();
    return *ephemeralAppInstanceID_;
  });
}

bool APMIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  return queue_->syncResult([this] { return persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
}

void APMIdentity::setAppInstanceID(const std::optional<std::string>& appInstanceID) {
  queue_->async([self = shared_from_this(), appInstanceID] { self->persistedConfig_->setAppInstanceID(appInstanceID); });
}

void APMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  queue_->async(
      [self = shared_from_this(), value] { self->persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(value); });
}

void APMIdentity::resetEphemeralAppInstanceID() {
  if (queue_->isCurrent()) {
    ephemeralAppInstanceID_.reset();
    return;
  }
  queue_->async([self = shared_from_this()] { self->ephemeralAppInstanceID_.reset(); });
}

void APMIdentity::setAppIDFromVMP(const std::string& appID) {
  if (appID.empty()) {
    APMLog(2, 20005, "Cannot set empty Videzu App ID");
    return;
  }
  std::call_once(setAppIDFromVMPOnce_, [&] {
    queue_->async([self = shared_from_this(), appID] { self->appIDFromVMP_ = appID; });
  });
}

void APMIdentity::setAppIDFromVuZir(const std::string& appID) {
  if (appID.empty()) {
    APMLog(2, 20007, "Cannot set empty VuZir App ID");
    return;
  }
  std::call_once(setAppIDFromVuZirOnce_, [&] {
    queue_->async([self = shared_from_this(), appID] { self->appIDFromVuZir_ = appID; });
  });
}

bool APMIdentity::isFromAppStore() const { return APMAEU::isFAS(); }

std::optional<std::string> APMIdentity::identifierForVendor() {
  if (isSet(resettableDeviceID())) return std::nullopt;
  if (isIDFVCollectionEnabled_ && !*isIDFVCollectionEnabled_) return std::nullopt;
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto cached = queue_->syncResult([this] { return identifierForVendorString_; })) return cached;
  // The device stand-in answers from any thread, so no hop to the main thread is needed (and a
  // synchronous one could wait on a main thread that waits on the engine).
  std::string vendorID = platform::Device::current().identifierForVendor();
  queue_->async([self = shared_from_this(), vendorID] { self->identifierForVendorString_ = vendorID; });
  return vendorID;
}

std::optional<std::string> APMIdentity::vuduzaraInstallationID() const {
  platform::MutexLock lock(installationIDMutex_);
  return vuduzaraInstallationID_;
}

void APMIdentity::setVuduzaraInstallationID(const std::optional<std::string>& installationID) {
  platform::MutexLock lock(installationIDMutex_);
  vuduzaraInstallationID_ = installationID;
}
