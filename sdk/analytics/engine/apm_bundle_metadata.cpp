#include "sdk/analytics/engine/apm_bundle_metadata.h"

#include <algorithm>

#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/engine/apm_consent_settings_util.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_info_plist_file_util.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace {

// Wire tags of the bundle fields filled here.
enum BundleTag : std::uint32_t {
  kProtocolVersion = 1,
  kUserAttributes = 3,
  kPlatform = 8,
  kOSVersion = 9,
  kDeviceModel = 10,
  kUserDefaultLanguage = 11,
  kTimeZoneOffsetMinutes = 12,
  kInstallSource = 13,
  kAppID = 14,
  kAppVersion = 16,
  kLibraryVersion = 17,
  kResettableDeviceID = 19,
  kLimitedAdTracking = 20,
  kAppInstanceID = 21,
  kVMPAppID = 25,
  kVendorID = 27,
  kInstallationID = 30,
  kAppVersionMajor = 31,
  kAppVersionMinor = 32,
  kAppVersionRelease = 33,
  kVuZirAppID = 41,
  kConsentSignals = 52,
  kAppleConsentStatus = 53,
  kRedactedFields = 64,
  kEphemeralAppInstanceID = 65,
};

constexpr std::uint32_t kUserAttributeNameTag = 2;
// The tracking status the identity reports when the platform gives none.
constexpr std::uint64_t kUnknownAppleConsentStatus = 6;
constexpr std::uint64_t kAuthorizedAppleConsentStatus = 3;

std::int32_t field(const NANOMessageBase& message, std::uint32_t tag) { return APMFieldIndex(message, tag); }

bool isNonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }

void setStringUnlessPresent(APMPBMeasurementBundle& bundle, std::uint32_t tag, const std::string& value) {
  if (!NANOHasField(&bundle, field(bundle, tag))) NANOSetString(&bundle, field(bundle, tag), value);
}

void clear(APMPBMeasurementBundle& bundle, std::uint32_t tag) { NANOClearField(&bundle, field(bundle, tag)); }

}  // namespace

void APMAddIdentifiersToBundle(APMPBMeasurementBundle& bundle, const std::optional<std::string>& consentSignals,
                               bool gateIDFAOnATTMASEnabled, APMIdentity& identity) {
  bool adStorageDenied = false;
  bool analyticsStorageDenied = false;
  const std::string signals = consentSignals.value_or("");
  if (signals.size() >= 4) {
    NANOSetString(&bundle, field(bundle, kConsentSignals), signals);
    adStorageDenied = signals[2] == '0';
    analyticsStorageDenied = signals[3] == '0';
  } else if (signals.empty() && NANOHasField(&bundle, field(bundle, kConsentSignals))) {
    clear(bundle, kConsentSignals);
  }

  bool resettableDeviceIDAllowed = true;
  if (APMDefaultIdentitySupport::iOS14OrAbove()) {
    const std::uint64_t status = identity.appleConsentStatus();
    if (status != kUnknownAppleConsentStatus) {
      NANOSetInt32(&bundle, field(bundle, kAppleConsentStatus), static_cast<std::int32_t>(status));
    }
    resettableDeviceIDAllowed = status == kAuthorizedAppleConsentStatus || !gateIDFAOnATTMASEnabled;
  }

  const bool hasLimitedAdTracking = identity.hasLimitedAdTracking();
  const auto resettableDeviceID =
      hasLimitedAdTracking && resettableDeviceIDAllowed && !adStorageDenied ? identity.resettableDeviceID()
                                                                            : std::nullopt;
  if (resettableDeviceID) {
    setStringUnlessPresent(bundle, kResettableDeviceID, *resettableDeviceID);
    clear(bundle, kVendorID);
  } else if (const auto vendorID = analyticsStorageDenied ? std::nullopt : identity.identifierForVendor()) {
    setStringUnlessPresent(bundle, kVendorID, *vendorID);
    clear(bundle, kResettableDeviceID);
  } else {
    clear(bundle, kResettableDeviceID);
    clear(bundle, kVendorID);
  }

  if (!analyticsStorageDenied) {
    if (const auto appInstanceID = identity.appInstanceID(); isNonEmpty(appInstanceID)) {
      setStringUnlessPresent(bundle, kAppInstanceID, *appInstanceID);
    }
  }
  if (adStorageDenied) clear(bundle, kResettableDeviceID);
  if (analyticsStorageDenied) {
    clear(bundle, kVendorID);
    clear(bundle, kAppInstanceID);
  }
  if (hasLimitedAdTracking) NANOSetBool(&bundle, field(bundle, kLimitedAdTracking), identity.limitedAdTracking());
}

void APMRedactBundleFields(APMPBMeasurementBundle& bundle, const std::vector<std::string>& fields,
                           APMIdentity& identity) {
  const auto has = [&](std::string_view name) { return std::find(fields.begin(), fields.end(), name) != fields.end(); };
  if (has("app_instance_id")) {
    clear(bundle, kAppInstanceID);
    NANOSetString(&bundle, field(bundle, kEphemeralAppInstanceID), identity.ephemeralAppInstanceID());
  }
  if (has("user_id")) {
    const std::int32_t index = field(bundle, kUserAttributes);
    if (auto attributes = NANOGetArray<APMPBUserAttribute>(&bundle, index)) {
      const auto removed = std::erase_if(*attributes, [](const std::shared_ptr<APMPBUserAttribute>& attribute) {
        return NANOGetString(attribute.get(), field(*attribute, kUserAttributeNameTag)) == "_id";
      });
      if (removed > 0) NANOSetArray(&bundle, index, *attributes);
    }
  }
  if (has("os_version") || has("device_info")) clear(bundle, kOSVersion);
  if (has("device_model") || has("device_info")) clear(bundle, kDeviceModel);
  if (!fields.empty()) {
    platform::Value::Array names;
    for (const auto& name : fields) names.emplace_back(name);
    NANOSetArray(&bundle, field(bundle, kRedactedFields), platform::Value(std::move(names)));
  }
}

std::shared_ptr<APMPBMeasurementBundle> APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<const APMUserAttribute>>& userAttributes) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  if (!bundle) return nullptr;
  APMPBMeasurementBundle& b = *bundle;
  auto identity = this->identity();
  if (!identity) identity = APMIdentity::sharedInstance();
  if (!identity) return nullptr;
  NANOSetInt32(&b, field(b, kProtocolVersion), 1);
  NANOSetString(&b, field(b, kPlatform), "ios");
  NANOSetString(&b, field(b, kAppID), identity->appID());
  if (!identity->isFromAppStore()) NANOSetString(&b, field(b, kInstallSource), "manual_install");
  NANOSetString(&b, field(b, kAppVersion), identity->appVersion());
  if (const auto vmpAppID = identity->appIDFromVMP(); isNonEmpty(vmpAppID)) {
    NANOSetString(&b, field(b, kVMPAppID), *vmpAppID);
  } else if (const auto vuZirAppID = identity->appIDFromVuZir(); isNonEmpty(vuZirAppID)) {
    NANOSetString(&b, field(b, kVuZirAppID), *vuZirAppID);
  }
  NANOSetInt64(&b, field(b, kLibraryVersion), APMIdentity::davEroriveduveLibraryVersion());
  if (const auto installationID = identity->vuduzaraInstallationID()) {
    NANOSetString(&b, field(b, kInstallationID), *installationID);
  }
  if (const auto major = identity->appVersionMajor()) NANOSetInt32(&b, field(b, kAppVersionMajor), *major);
  if (const auto minor = identity->appVersionMinor()) NANOSetInt32(&b, field(b, kAppVersionMinor), *minor);
  if (const auto release = identity->appVersionRelease()) NANOSetInt32(&b, field(b, kAppVersionRelease), *release);

  APMAddIdentifiersToBundle(b, APMConsentSettingsUtil::consentSignals(),
                            (remoteConfig_ ? remoteConfig_ : APMMeasurementRemoteConfig())->gateIDFAOnATTMASEnabled(),
                            *identity);

  auto& environment = APMEnvironmentInfo::sharedInstance();
  NANOSetString(&b, field(b, kDeviceModel), environment.deviceModel());
  NANOSetString(&b, field(b, kOSVersion), environment.deviceOSVersion());
  NANOSetInt32(&b, field(b, kTimeZoneOffsetMinutes), environment.timeZoneOffsetMinutes());
  if (const auto language = environment.userDefaultLanguage()) {
    NANOSetString(&b, field(b, kUserDefaultLanguage), *language);
  }
  if (!userAttributes.empty()) {
    std::vector<std::shared_ptr<APMPBUserAttribute>> protos;
    protos.reserve(userAttributes.size());
    for (const auto& attribute : userAttributes) {
      if (attribute) protos.push_back(attribute->protoUserAttribute());
    }
    NANOSetArray(&b, field(b, kUserAttributes), protos);
  }
  return bundle;
}
