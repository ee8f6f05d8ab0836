// A handle on one unsent report of an earlier run: the app may still add logs, keys and a user
// ID to it before it is sent. Writes go to that report's files, with the running context's limits.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/date.h"
#include "platform/foundation/value.h"
#include "sdk/crash/records/rlz_context_state.h"

class RLZInternalReport;

class VDZRalitozeReport {
 public:
  explicit VDZRalitozeReport(std::shared_ptr<RLZInternalReport> internalReport);

  const std::string& reportID() const { return reportID_; }
  const std::optional<platform::Date>& dateCreated() const { return dateCreated_; }
  bool hasCrash() const { return hasCrash_; }

  void log(const std::string& message);
  void setUserID(const std::optional<std::string>& userID);
  void setCustomValue(const platform::Value& value, const std::string& key);
  void setCustomKeysAndValues(const platform::Value::Dictionary& keysAndValues);

  const std::shared_ptr<RLZInternalReport>& internalReport() const { return internalReport_; }

 private:
  static bool checkContextForMethod(const std::string& method);

  std::string reportID_;
  std::optional<platform::Date> dateCreated_;
  bool hasCrash_ = false;
  // The report's own paths, kept for the life of the object.
  std::string paths_[6];
  RLZUserLoggingABStorage logStorage_{};
  const char* activeLogPath_ = nullptr;
  std::uint32_t internalKVCounter_ = 0;
  RLZUserLoggingKVStorage internalKVStorage_{};
  std::uint32_t userKVCounter_ = 0;
  RLZUserLoggingKVStorage userKVStorage_{};
  std::shared_ptr<RLZInternalReport> internalReport_;
};
