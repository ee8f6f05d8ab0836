#include "sdk/analytics/engine/apm_consent_settings_util.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/strings.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace {

using Settings = APMConsentSettingsUtil::Settings;

// Touched only on the serial queue.
struct ConsentState {
  std::optional<Settings> settings;
  std::int64_t source = kAPMConsentSourceNone;
};

ConsentState& state() {
  // Never destroyed: a worker may still read the consent state on the serial queue while the process exits.
  static ConsentState* const s = new ConsentState;
  return *s;
}

bool isConsentSettingsEnabled() { return APMMeasurementRemoteConfig()->isConsentSettingsEnabled(); }

// Case-insensitive; a value that is not a string is neither granted nor denied.
bool valueIs(const Settings* settings, std::string_view key, std::string_view expected) {
  if (!settings) return false;
  auto it = settings->find(key);
  if (it == settings->end() || !it->second.isString()) return false;
  return platform::strings::lowercase(*it->second.ifString()) == expected;
}

char signalCharacter(const Settings* settings, std::string_view key) {
  if (valueIs(settings, key, kAPMConsentGranted)) return '1';
  if (valueIs(settings, key, kAPMConsentDenied)) return '0';
  return '-';
}

}  // namespace

std::shared_ptr<platform::DispatchQueue> APMConsentSettingsUtil::serialQueue() {
  // Never destroyed: a worker may still ask for the queue while the process exits.
  static const auto* const queue = new std::shared_ptr<platform::DispatchQueue>(platform::DispatchQueue::serial(
      "APMConsentSettingsUtilQueue", platform::DispatchQueue::global(platform::QualityOfService::Utility)));
  return *queue;
}

std::optional<Settings> APMConsentSettingsUtil::consentSettings() {
  return serialQueue()->syncResult([] { return state().settings; });
}

std::int64_t APMConsentSettingsUtil::consentSource() {
  return serialQueue()->syncResult([] { return state().source; });
}

void APMConsentSettingsUtil::setConsentSource(std::int64_t source) {
  serialQueue()->async([source] { state().source = source; });
}

void APMConsentSettingsUtil::setConsentSettings(const std::optional<Settings>& settings) {
  serialQueue()->async([settings] {
    state().settings = settings;
    if (!settings) state().source = kAPMConsentSourceNone;
  });
}

bool APMConsentSettingsUtil::isAdStorageDenied() {
  if (!isConsentSettingsEnabled()) return false;
  return serialQueue()->syncResult(
      [] { return valueIs(state().settings ? &*state().settings : nullptr, kAPMConsentAdStorage, kAPMConsentDenied); });
}

bool APMConsentSettingsUtil::isAnalyticsStorageDenied() {
  if (!isConsentSettingsEnabled()) return false;
  return serialQueue()->syncResult([] {
    return valueIs(state().settings ? &*state().settings : nullptr, kAPMConsentAnalyticsStorage, kAPMConsentDenied);
  });
}

Settings APMConsentSettingsUtil::consentSettingsFromDictionary(const platform::Value::Dictionary& dictionary) {
  Settings result;
  for (std::string_view key : {kAPMConsentAdStorage, kAPMConsentAnalyticsStorage}) {
    if (auto it = dictionary.find(key); it != dictionary.end()) result.emplace(std::string(key), it->second);
  }
  return result;
}

Settings APMConsentSettingsUtil::consentSettingsFromPlist() {
  Settings result;
  const auto bundle = platform::Bundle::main();
  const std::pair<std::string_view, std::string_view> keys[] = {
      {kAPMDefaultAllowAdStorageKey, kAPMConsentAdStorage},
      {kAPMDefaultAllowAnalyticsStorageKey, kAPMConsentAnalyticsStorage}};
  for (const auto& [plistKey, consentKey] : keys) {
    const platform::Value value = bundle->objectForInfoDictionaryKey(plistKey);
    if (!value.isNumber()) continue;
    result.emplace(std::string(consentKey), std::string(value.boolValue() ? kAPMConsentGranted : kAPMConsentDenied));
  }
  return result;
}

bool APMConsentSettingsUtil::didWithdrawPreviousConsent(const platform::Value& previous) {
  if (!isConsentSettingsEnabled()) return false;
  if (!previous.isNull() && !previous.isDictionary()) return false;
  const auto current = consentSettings();
  if (!current) return false;
  const Settings* before = previous.ifDictionary();
  if (before && *before == *current) return false;
  for (std::string_view key : {kAPMConsentAdStorage, kAPMConsentAnalyticsStorage}) {
    if (!valueIs(before, key, kAPMConsentDenied) && valueIs(&*current, key, kAPMConsentDenied)) return true;
  }
  return false;
}

bool APMConsentSettingsUtil::isConsentSourceHigherPriority(std::int64_t source) { return consentSource() >= source; }

void APMConsentSettingsUtil::updateSettings(const Settings& settings) {
  serialQueue()->async([settings] {
    Settings merged = state().settings.value_or(Settings{});
    for (const auto& [key, value] : settings) merged[key] = value;
    state().settings = std::move(merged);
  });
}

std::optional<std::string> APMConsentSettingsUtil::consentSignals() {
  const auto config = APMMeasurementRemoteConfig();
  if (!config->isConsentSettings3PEnabled() || !config->isConsentSettingsEnabled()) return std::nullopt;
  return serialQueue()->syncResult([] {
    const Settings* settings = state().settings ? &*state().settings : nullptr;
    return std::string("G1") + signalCharacter(settings, kAPMConsentAdStorage) +
           signalCharacter(settings, kAPMConsentAnalyticsStorage);
  });
}

std::string APMConsentSettingsUtil::description() {
  const auto settings = consentSettings();
  auto valueOf = [&](std::string_view key) -> std::string {
    if (!settings) return std::string(kAPMConsentGranted);
    auto it = settings->find(key);
    if (it == settings->end() || it->second.isNull()) return std::string(kAPMConsentGranted);
    return it->second.isString() ? *it->second.ifString() : it->second.description();
  };
  return std::string(kAPMConsentAdStorage) + " is " + valueOf(kAPMConsentAdStorage) + ". " +
         std::string(kAPMConsentAnalyticsStorage) + " is " + valueOf(kAPMConsentAnalyticsStorage) + ".";
}

void APMConsentSettingsUtil::resetForTesting() {
  serialQueue()->sync([] { state() = ConsentState{}; });
}
