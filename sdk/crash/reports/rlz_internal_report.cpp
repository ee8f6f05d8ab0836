#include "sdk/crash/reports/rlz_internal_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "platform/foundation/file_manager.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/launch/rlz_logging.h"

namespace {

const platform::Value* member(const platform::Value& value, const char* key) {
  const auto* dictionary = value.ifDictionary();
  if (!dictionary) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &it->second;
}

std::optional<std::string> stringOf(const std::optional<platform::Value>& value) {
  if (!value) return std::nullopt;
  if (const std::string* s = value->ifString()) return *s;
  return std::nullopt;
}

// The last second of the year 9999: a time beyond it, or before 1970, is no time a record
// file's writer could have taken, and later conversions (to milliseconds, say) would overflow.
constexpr double kLatestRecordedSeconds = 253402300799.0;

// Whole seconds since 1970: a fractional part in the file is dropped; a time out of range is
// refused.
std::optional<platform::Date> dateOf(const platform::Value* value) {
  if (!value) return std::nullopt;
  std::optional<double> seconds;
  if (const auto* u = value->ifUnsigned()) seconds = static_cast<double>(*u);
  else if (const auto* i = value->ifInteger()) seconds = static_cast<double>(*i);
  else if (const auto* d = value->ifDouble()) seconds = std::trunc(*d);
  // The negated test also refuses NaN.
  if (!seconds || !(*seconds >= 0 && *seconds <= kLatestRecordedSeconds)) return std::nullopt;
  return platform::Date::fromTimeIntervalSince1970(*seconds);
}

}  // namespace

const std::vector<std::string>& RLZInternalReport::eventFileNames() {
  // Never destroyed: a report may still be read or packed on a worker while the process exits.
  static const std::vector<std::string>* const names = new std::vector<std::string>{
      "exception.rlzrecord",          "signal.rlzrecord",          "custom_exception_a.rlzrecord",
      "custom_exception_b.rlzrecord", "metric_kit_fatal.rlzrecord", "metric_kit_nonfatal.rlzrecord",
      "mach_exception.rlzrecord",     "errors_a.rlzrecord",        "errors_b.rlzrecord"};
  return *names;
}

std::shared_ptr<RLZInternalReport> RLZInternalReport::reportWithPath(const std::string& path) {
  std::optional<std::string> identifier;
  if (auto sections = readRLZFileAtPath((std::filesystem::path(path) / "metadata.rlzrecord").string());
      sections && !sections->empty()) {
    if (const auto* identity = member((*sections)[0], "identity")) {
      if (const auto* session = member(*identity, "session_id"); session && session->ifString()) {
        identifier = *session->ifString();
      }
    }
  }
  if (!identifier) RLZErrorLog("Unable to read identifier at path %@", path);
  return initWithPath(path, identifier);
}

std::shared_ptr<RLZInternalReport> RLZInternalReport::initWithPath(
    const std::string& path, const std::optional<std::string>& executionIdentifier) {
  if (path.empty() || !executionIdentifier) return nullptr;
  auto report = std::make_shared<RLZInternalReport>();
  report->path_ = path;
  report->identifier_ = *executionIdentifier;
  return report;
}

std::string RLZInternalReport::directoryName() const { return std::filesystem::path(path_).filename().string(); }

std::string RLZInternalReport::pathForContentFile(const std::string& name) const {
  return (std::filesystem::path(path_) / name).string();
}

bool RLZInternalReport::hasAnyEvents() const { return checkExistenceOfAtLeastOneFileInArray(eventFileNames()); }

bool RLZInternalReport::isCrash() const { return checkExistenceOfAtLeastOneFileInArray(crashFileNames()); }

bool RLZInternalReport::checkExistenceOfAtLeastOneFileInArray(const std::vector<std::string>& names) const {
  // Only a file the reporter could have written counts: a link or a FIFO of that name does not.
  for (const auto& name : names) {
    const auto attributes = platform::FileManager::defaultManager().attributesOfItem(pathForContentFile(name));
    if (attributes && attributes->type == platform::FileType::Regular) return true;
  }
  return false;
}

const std::vector<std::string>& RLZInternalReport::crashFileNames() {
  // Never destroyed: a report may still be read or packed on a worker while the process exits.
  static const std::vector<std::string>* const names = new std::vector<std::string>{
      "exception.rlzrecord", "mach_exception.rlzrecord", "signal.rlzrecord", "metric_kit_fatal.rlzrecord",
      "custom_fatal.rlzrecord"};
  return *names;
}

void RLZInternalReport::enumerateSymbolicatableFilesInContent(
    const std::function<void(const std::string& path)>& block) const {
  for (const auto& name : crashFileNames()) block(pathForContentFile(name));
}

std::optional<platform::Value::Array> RLZInternalReport::readRLZFileAtPath(const std::string& path) {
  auto sections = RLZFileReadSections(path.c_str(), false);
  if (!sections || sections->empty()) return std::nullopt;
  return sections;
}

const platform::Value::Array& RLZInternalReport::metadataSections() {
  if (!metadataSections_) metadataSections_ = readRLZFileAtPath(metadataPath()).value_or(platform::Value::Array{});
  return *metadataSections_;
}

std::optional<platform::Value> RLZInternalReport::metadataValue(std::size_t position, const char* section,
                                                               const char* key) {
  const auto& sections = metadataSections();
  if (position >= sections.size()) return std::nullopt;
  const auto* body = member(sections[position], section);
  const auto* value = body ? member(*body, key) : nullptr;
  if (!value) return std::nullopt;
  return *value;
}

std::optional<std::string> RLZInternalReport::orgID() { return stringOf(metadataValue(0, "identity", "org_id")); }

std::optional<platform::Date> RLZInternalReport::dateCreated() {
  auto value = metadataValue(0, "identity", "started_at");
  return value ? dateOf(&*value) : std::nullopt;
}

std::optional<std::string> RLZInternalReport::bundleVersion() {
  return stringOf(metadataValue(2, "application", "build_version"));
}

std::optional<std::string> RLZInternalReport::bundleShortVersionString() {
  return stringOf(metadataValue(2, "application", "display_version"));
}

std::optional<std::string> RLZInternalReport::OSVersion() {
  return stringOf(metadataValue(1, "host", "os_display_version"));
}

std::optional<std::string> RLZInternalReport::OSBuildVersion() {
  return stringOf(metadataValue(1, "host", "os_build_version"));
}

std::optional<platform::Date> RLZInternalReport::crashedOnDate() const {
  if (!isCrash()) return std::nullopt;
  if (auto date = timeFromCrashContentFile("mach_exception.rlzrecord", "mach_exception")) return date;
  return timeFromCrashContentFile("signal.rlzrecord", "signal");
}

std::optional<platform::Date> RLZInternalReport::timeFromCrashContentFile(const std::string& fileName,
                                                                          const std::string& sectionName) const {
  auto sections = readRLZFileAtPath(pathForContentFile(fileName));
  if (!sections) return std::nullopt;
  const auto* section = member((*sections)[0], sectionName.c_str());
  return section ? dateOf(member(*section, "time")) : std::nullopt;
}

// ---- Launch marker ----

std::string RLZLaunchMarkerModel::launchFailureMarkerPath() const {
  return (std::filesystem::path(fileManager_->structurePath()) / "launchmarker").string();
}

bool RLZLaunchMarkerModel::createLaunchFailureMarker() {
  // Neither through a link nor waiting for a FIFO's reader: the marker's folder outlives the run.
  const int fd = open(launchFailureMarkerPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                      0644);
  if (fd < 0) return false;
  return close(fd) == 0;
}

bool RLZLaunchMarkerModel::launchFailureMarkerPresent() const {
  return fileManager_->fileExistsAtPath(launchFailureMarkerPath());
}

bool RLZLaunchMarkerModel::removeLaunchFailureMarker() {
  return fileManager_->removeItemAtPath(launchFailureMarkerPath());
}

bool RLZLaunchMarkerModel::checkForAndCreateLaunchMarker() {
  if (launchFailureMarkerPresent()) {
    RLZDebugLog("[Ralitoze:Crash] Last launch failed: this may indicate a crash shortly after app launch.");
    return true;
  }
  createLaunchFailureMarker();
  return false;
}
