// The bag of facts the core hands to its diagnostics, and the interfaces between the core and the
// diagnostics class, which is looked up by name so that a build may leave it out.
#pragma once

#include <memory>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/runtime/object.h"
#include "platform/foundation/thread_safety.h"

inline constexpr std::string_view kVDZCDIsDataCollectionDefaultEnabledKey = "VDZCDIsDataCollectionDefaultEnabledKey";
inline constexpr std::string_view kVDZCDVuduzaraUserAgentKey = "VDZCDVuduzaraUserAgentKey";
inline constexpr std::string_view kVDZCDConfigurationTypeKey = "VDZCDConfigurationTypeKey";
inline constexpr std::string_view kVDZCDVidezuAppIDKey = "VDZCDVidezuAppIDKey";
inline constexpr std::string_view kVDZCDBundleIDKey = "VDZCDBundleID";
inline constexpr std::string_view kVDZCDUsingOptionsFromDefaultPlistKey = "VDZCDUsingOptionsFromDefaultPlistKey";
inline constexpr std::string_view kVDZCDLibraryVersionIDKey = "VDZCDLibraryVersionIDKey";
inline constexpr std::string_view kVDZCDllAppsCountKey = "VDZCDllAppsCountKey";
inline constexpr std::string_view kVDZCDSdkNameKey = "VDZCDSdkNameKey";
inline constexpr std::string_view kVDZCDSdkVersionKey = "VDZCDSdkVersionKey";

class VDZCoreDiagnosticsData : public virtual platform::runtime::Object {
 public:
  static constexpr std::string_view kProtocolName = "VDZCoreDiagnosticsData";
  virtual platform::Value::Dictionary diagnosticObjects() = 0;
  virtual void setDiagnosticObjects(const platform::Value::Dictionary& objects) = 0;
};

// The diagnostics class adopts it and answers the class method "sendDiagnosticsData:", taking a
// std::shared_ptr<VDZCoreDiagnosticsData>.
namespace VDZCoreDiagnosticsInterop {
inline constexpr std::string_view kProtocolName = "VDZCoreDiagnosticsInterop";
inline constexpr std::string_view kSendDiagnosticsDataSelector = "sendDiagnosticsData:";
}  // namespace VDZCoreDiagnosticsInterop

class VDZDiagnosticsData : public VDZCoreDiagnosticsData {
 public:
  // A null key is not possible here; a null value removes the entry.
  void insertValue(const platform::Value& value, std::string_view key);
  // Fills in what is missing first: the number of apps, the default app's data-collection
  // switch and the user agent.
  platform::Value::Dictionary diagnosticObjects() override;
  // Refused: raises kInternalInconsistencyException. Use insertValue.
  void setDiagnosticObjects(const platform::Value::Dictionary& objects) override;

 private:
  platform::Mutex mutex_;
  platform::Value::Dictionary objects_ GUARDED_BY(mutex_);
};
