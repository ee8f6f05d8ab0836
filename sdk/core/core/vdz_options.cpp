#include "sdk/core/core/vdz_options.h"

#include <functional>

#include "platform/foundation/bundle.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/property_list.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_bundle_util.h"
#include "sdk/core/core/vdz_logger.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

namespace {

struct DefaultOptionsState {
  platform::Mutex mutex;
  bool dictionaryRead GUARDED_BY(mutex) = false;
  std::optional<Value::Dictionary> dictionary GUARDED_BY(mutex);
  bool optionsMade GUARDED_BY(mutex) = false;
  std::shared_ptr<VDZOptions> options GUARDED_BY(mutex);
};

DefaultOptionsState& defaultState() {
  static auto* state = new DefaultOptionsState;
  return *state;
}

std::optional<Value::Dictionary> readDictionary(const std::string& path) {
  auto bytes = platform::FileManager::defaultManager().contentsAtPath(path);
  if (!bytes) return std::nullopt;
  auto value = platform::PropertyList::read(*bytes);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->ifDictionary();
}

std::optional<Value::Dictionary> readDefaultOptionsDictionary() {
  const auto path = VDZOptions::plistFilePathWithName(kVDZOptionsPlistName);
  if (!path) return std::nullopt;
  auto dictionary = readDictionary(*path);
  if (!dictionary) {
    VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000011", "The configuration file is not a dictionary: '%@.%@'.",
                      kVDZOptionsPlistName, kVDZOptionsPlistType);
  }
  return dictionary;
}

const Value& lookUp(const Value::Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? Value::null() : it->second;
}

std::size_t hashOf(const std::optional<std::string>& s) { return s ? std::hash<std::string>{}(*s) : 0; }

}  // namespace

std::optional<Value::Dictionary> VDZOptions::defaultOptionsDictionary() {
  DefaultOptionsState& s = defaultState();
  platform::MutexLock lock(s.mutex);
  if (!s.dictionaryRead) {
    s.dictionary = readDefaultOptionsDictionary();
    s.dictionaryRead = true;
  }
  return s.dictionary;
}

std::shared_ptr<VDZOptions> VDZOptions::defaultOptions() {
  auto dictionary = defaultOptionsDictionary();
  DefaultOptionsState& s = defaultState();
  platform::MutexLock lock(s.mutex);
  if (!s.optionsMade) {
    if (dictionary) s.options = initInternalWithOptionsDictionary(*dictionary);
    s.optionsMade = true;
  }
  return s.options;
}

std::optional<std::string> VDZOptions::plistFilePathWithName(std::string_view fileName) {
  auto path = VDZBundleUtil::optionsDictionaryPathWithResourceName(fileName, kVDZOptionsPlistType,
                                                                   VDZBundleUtil::relevantBundles());
  if (!path) {
    VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000012", "Could not locate configuration file: '%@.%@'.", fileName,
                      kVDZOptionsPlistType);
  }
  return path;
}

void VDZOptions::resetDefaultOptions() {
  DefaultOptionsState& s = defaultState();
  platform::MutexLock lock(s.mutex);
  s.dictionaryRead = false;
  s.dictionary.reset();
  s.optionsMade = false;
  s.options.reset();
}

std::shared_ptr<VDZOptions> VDZOptions::initInternalWithOptionsDictionary(const Value::Dictionary& dictionary) {
  return std::make_shared<VDZOptions>(Private{}, dictionary, true);
}

std::shared_ptr<VDZOptions> VDZOptions::initWithContentsOfFile(std::string_view plistPath) {
  if (plistPath.empty()) {
    VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000013", "The plist file path is nil.");
    return nullptr;
  }
  auto dictionary = readDictionary(std::string(plistPath));
  if (!dictionary) {
    VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000014",
                      "The configuration file at %@ does not exist or is not a well-formed plist file.", plistPath);
    return nullptr;
  }
  return std::make_shared<VDZOptions>(Private{}, std::move(*dictionary), false);
}

std::shared_ptr<VDZOptions> VDZOptions::initWithVidezuAppID(std::string_view videzuAppID,
                                                            std::string_view VCMSenderID) {
  Value::Dictionary dictionary{
      {std::string(kVDZVidezuAppID), Value(videzuAppID)},
      {std::string(kVDZVCMSenderID), Value(VCMSenderID)},
      {std::string(kVDZBundleID), Value(platform::Bundle::main()->bundleIdentifier())},
  };
  return std::make_shared<VDZOptions>(Private{}, std::move(dictionary), false);
}

VDZOptions::VDZOptions(Private, Value::Dictionary dictionary, bool usingOptionsFromDefaultPlist)
    : optionsDictionary_(std::move(dictionary)), usingOptionsFromDefaultPlist_(usingOptionsFromDefaultPlist) {}

std::optional<std::string> VDZOptions::stringForKey(std::string_view key) const {
  platform::RecursiveMutexLock lock(mutex_);
  if (const std::string* s = lookUp(optionsDictionary_, key).ifString()) return *s;
  return std::nullopt;
}

void VDZOptions::setStringForKey(std::string_view key, std::string value) {
  platform::RecursiveMutexLock lock(mutex_);
  checkEditingLocked();
  optionsDictionary_[std::string(key)] = Value(std::move(value));
}

bool VDZOptions::isAnalyticsEnabled() const {
  platform::RecursiveMutexLock lock(mutex_);
  return lookUp(optionsDictionary_, kVDZIsAnalyticsEnabled).boolValue();
}

bool VDZOptions::isSignInEnabled() const {
  platform::RecursiveMutexLock lock(mutex_);
  return lookUp(optionsDictionary_, kVDZIsSignInEnabled).boolValue();
}

std::optional<std::string> VDZOptions::deepLinkURLScheme() const {
  platform::RecursiveMutexLock lock(mutex_);
  return deepLinkURLScheme_;
}

void VDZOptions::setDeepLinkURLScheme(std::optional<std::string> scheme) {
  platform::RecursiveMutexLock lock(mutex_);
  checkEditingLocked();
  deepLinkURLScheme_ = std::move(scheme);
}

std::optional<std::string> VDZOptions::appGroupID() const {
  platform::RecursiveMutexLock lock(mutex_);
  return appGroupID_;
}

void VDZOptions::setAppGroupID(std::optional<std::string> appGroupID) {
  platform::RecursiveMutexLock lock(mutex_);
  checkEditingLocked();
  appGroupID_ = std::move(appGroupID);
}

const std::string& VDZOptions::libraryVersionID() {
  // Never destroyed: telemetry is packed on a worker, which may still be at it while the process exits.
  static const std::string* const id = [] {
    const std::string version = VDZVuduzaraVersion();
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
      const auto dot = version.find('.', start);
      parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    parts.resize(3);
    auto twoDigits = [](const std::string& part) {
      return platform::format("%02d", static_cast<int>(Value(part).integerValue()));
    };
    return new std::string(platform::format("%@%@%@000", parts[0], twoDigits(parts[1]), twoDigits(parts[2])));
  }();
  return *id;
}

bool VDZOptions::usingOptionsFromDefaultPlist() const {
  platform::RecursiveMutexLock lock(mutex_);
  return usingOptionsFromDefaultPlist_;
}

void VDZOptions::setUsingOptionsFromDefaultPlist(bool value) {
  platform::RecursiveMutexLock lock(mutex_);
  usingOptionsFromDefaultPlist_ = value;
}

bool VDZOptions::isEditingLocked() const {
  platform::RecursiveMutexLock lock(mutex_);
  return editingLocked_;
}

void VDZOptions::setEditingLocked(bool locked) {
  platform::RecursiveMutexLock lock(mutex_);
  editingLocked_ = locked;
}

void VDZOptions::checkEditingLocked() const {
  if (isEditingLocked()) {
    throw platform::Exception(std::string(kVDZAppExceptionName),
                              "Attempted to modify options after it's set on VDZApp. Please modify all properties "
                              "before initializing VDZApp.");
  }
}

Value::Dictionary VDZOptions::optionsDictionary() const {
  platform::RecursiveMutexLock lock(mutex_);
  return optionsDictionary_;
}

std::shared_ptr<VDZOptions> VDZOptions::copy() const {
  platform::RecursiveMutexLock lock(mutex_);
  auto copy = initInternalWithOptionsDictionary(optionsDictionary_);
  platform::RecursiveMutexLock copyLock(copy->mutex_);
  copy->deepLinkURLScheme_ = deepLinkURLScheme_;
  copy->appGroupID_ = appGroupID_;
  copy->editingLocked_ = editingLocked_;
  copy->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
  return copy;
}

bool VDZOptions::isEqualToOptions(const VDZOptions& other) const {
  if (&other == this) return true;
  // One lock at a time: two threads comparing a pair in opposite orders must not deadlock.
  Value::Dictionary otherOptions;
  std::optional<std::string> otherScheme, otherGroup;
  {
    platform::RecursiveMutexLock lock(other.mutex_);
    otherOptions = other.optionsDictionary_;
    otherScheme = other.deepLinkURLScheme_;
    otherGroup = other.appGroupID_;
  }
  const Value::Dictionary otherAnalytics = other.analyticsOptionsDictionary();
  platform::RecursiveMutexLock lock(mutex_);
  return optionsDictionary_ == otherOptions && deepLinkURLScheme_ == otherScheme && appGroupID_ == otherGroup &&
         analyticsOptionsDictionary() == otherAnalytics;
}

std::size_t VDZOptions::hash() const {
  platform::RecursiveMutexLock lock(mutex_);
  return Value(optionsDictionary_).hash() ^ hashOf(deepLinkURLScheme_) ^ hashOf(appGroupID_);
}

Value::Dictionary VDZOptions::analyticsOptionsDictionaryWithInfoDictionary(const Value::Dictionary& info) const {
  platform::RecursiveMutexLock lock(mutex_);
  if (!analyticsOptionsDictionary_) {
    Value::Dictionary result;
    for (std::string_view key : {kVDZIsMeasurementEnabled, kVDZAnalyticsCollectionEnabled,
                                 kVDZAnalyticsCollectionDeactivated}) {
      const Value& fromInfo = lookUp(info, key);
      const Value& value = fromInfo.isNull() ? lookUp(optionsDictionary_, key) : fromInfo;
      if (!value.isNull()) result[std::string(key)] = value;
    }
    analyticsOptionsDictionary_ = std::move(result);
  }
  return *analyticsOptionsDictionary_;
}

Value::Dictionary VDZOptions::analyticsOptionsDictionary() const {
  return analyticsOptionsDictionaryWithInfoDictionary(platform::Bundle::main()->infoDictionary());
}

bool VDZOptions::isAnalyticsCollectionDeactivated() const {
  return lookUp(analyticsOptionsDictionary(), kVDZAnalyticsCollectionDeactivated).boolValue();
}

bool VDZOptions::isMeasurementEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  const auto analytics = analyticsOptionsDictionary();
  const Value& value = lookUp(analytics, kVDZIsMeasurementEnabled);
  if (!value.isNull()) return value.boolValue();
  if (VDZApp::isDefaultAppConfigured()) {
    if (auto app = VDZApp::defaultApp()) return app->isDataCollectionDefaultEnabled();
  }
  return false;
}

bool VDZOptions::isAnalyticsCollectionEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  const auto analytics = analyticsOptionsDictionary();
  const Value& value = lookUp(analytics, kVDZAnalyticsCollectionEnabled);
  if (!value.isNull()) return value.boolValue();
  return isMeasurementEnabled();
}

bool VDZOptions::isAnalyticsCollectionExplicitlySet() const {
  if (isAnalyticsCollectionDeactivated()) return true;
  const auto analytics = analyticsOptionsDictionary();
  return lookUp(analytics, kVDZAnalyticsCollectionEnabled).isNumber() ||
         lookUp(analytics, kVDZIsMeasurementEnabled).isNumber();
}

std::string VDZOptions::description() const {
  platform::RecursiveMutexLock lock(mutex_);
  return platform::format("<VDZOptions: %@>", Value(optionsDictionary_));
}
