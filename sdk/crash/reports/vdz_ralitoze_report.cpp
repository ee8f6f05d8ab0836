#include "sdk/crash/reports/vdz_ralitoze_report.h"

#include "sdk/crash/context/rlz_user_logging.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/reports/rlz_internal_report.h"
#include "sdk/crash/reports/vdz_ralitoze.h"

VDZRalitozeReport::VDZRalitozeReport(std::shared_ptr<RLZInternalReport> internalReport)
    : internalReport_(std::move(internalReport)) {
  reportID_ = internalReport_->identifier();
  dateCreated_ = internalReport_->dateCreated();
  hasCrash_ = internalReport_->isCrash();
  const char* names[6] = {"log_a.rlzrecord",
                          "log_b.rlzrecord",
                          "internal_incremental_kv.rlzrecord",
                          "internal_compacted_kv.rlzrecord",
                          "user_incremental_kv.rlzrecord",
                          "user_compacted_kv.rlzrecord"};
  for (int i = 0; i < 6; ++i) paths_[i] = internalReport_->pathForContentFile(names[i]);
  const RLZReadOnlyContext* running = _rlzContext.readonly;
  const RLZUserLoggingReadOnlyContext empty{};
  const RLZUserLoggingReadOnlyContext& limits = running ? running->logging : empty;
  logStorage_ = limits.logStorage;
  logStorage_.aPath = paths_[0].c_str();
  logStorage_.bPath = paths_[1].c_str();
  activeLogPath_ = logStorage_.aPath;
  internalKVStorage_ = limits.internalKVStorage;
  internalKVStorage_.incrementalPath = paths_[2].c_str();
  internalKVStorage_.compactedPath = paths_[3].c_str();
  userKVStorage_ = limits.userKVStorage;
  userKVStorage_.incrementalPath = paths_[4].c_str();
  userKVStorage_.compactedPath = paths_[5].c_str();
}

bool VDZRalitozeReport::checkContextForMethod(const std::string& method) {
  if (RLZContextIsInitialized()) return true;
  RLZErrorLog("%@ failed for VDZRalitozeReport because Ralitoze context isn't initialized.", method);
  return false;
}

void VDZRalitozeReport::log(const std::string& message) {
  if (!checkContextForMethod("log:")) return;
  RLZLogToStorage(&logStorage_, &activeLogPath_, message);
}

void VDZRalitozeReport::setUserID(const std::optional<std::string>& userID) {
  if (!checkContextForMethod("setUserID:")) return;
  RLZUserLoggingRecordKeyValue(std::string(kRLZUserIDKey), userID ? platform::Value(*userID) : platform::Value(),
                               &internalKVStorage_, &internalKVCounter_);
}

void VDZRalitozeReport::setCustomValue(const platform::Value& value, const std::string& key) {
  if (!checkContextForMethod("setCustomValue:forKey:")) return;
  RLZUserLoggingRecordKeyValue(key, value, &userKVStorage_, &userKVCounter_);
}

void VDZRalitozeReport::setCustomKeysAndValues(const platform::Value::Dictionary& keysAndValues) {
  if (!checkContextForMethod("setCustomKeysAndValues:")) return;
  RLZUserLoggingRecordKeysAndValues(keysAndValues, &userKVStorage_, &userKVCounter_);
}
