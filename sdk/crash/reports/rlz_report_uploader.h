// Processing, packaging and hand-off of one report: active -> processing (symbolicated) ->
// prepared -> stored by the transport -> removed.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class RLZDataCollectionToken;
class RLZInternalReport;
struct RLZManagerData;

inline constexpr std::int64_t kRLZReportQosTier = 4;
// A prepared report whose packaging failed this many times (a failure being a record that could
// not be read, an error, or a crash of the packaging itself) is deleted instead of being tried at
// every launch for ever. A process killed from outside while packaging costs it nothing.
inline constexpr int kRLZMaxPackagingAttempts = 3;
// The names below are hidden, so neither listed as a report nor packed into one.
// One byte per failed packaging attempt; a crash of the packaging thread writes its own.
inline constexpr std::string_view kRLZPackagingFailuresFileName = ".packaging-failures";
// Present while the report is packaged, so that a launch finds an attempt cut short. Its byte says
// whether a crash of that attempt would have been written into the failure log ('w') or not.
inline constexpr std::string_view kRLZPackagingMarkerFileName = ".packaging";
// A report stored by the transport is renamed with this prefix before it is removed: whatever
// its removal leaves behind is never listed as a report, so never sent again.
inline constexpr std::string_view kRLZSentReportPrefix = ".sent-";
// Left in a sent report that could not be renamed, with the same meaning.
inline constexpr std::string_view kRLZSentMarkerFileName = ".sent";
// How long an urgent hand-off holds the launch's work queue for the transport to store a report:
// a transport that never answers must not stall the launch for ever. The report stays prepared
// for the next launch when the time runs out.
inline constexpr double kRLZUrgentHandOffTimeoutSeconds = 10;

// Moments of a hand-off at which a test may step in (to end the process there, say).
enum class RLZHandOffMoment {
  kPackaging,  // inside every packaging attempt, on the packaging thread
  kStored,     // the transport has stored the report's event; the report is not marked sent yet
};

class RLZReportUploader {
 public:
  explicit RLZReportUploader(std::shared_ptr<RLZManagerData> managerData);

  void prepareAndSubmitReport(const std::shared_ptr<RLZInternalReport>& report,
                              const std::shared_ptr<RLZDataCollectionToken>& token, bool asUrgent,
                              bool withProcessing);
  void uploadPackagedReportAtPath(const std::string& packagedPath, const std::shared_ptr<RLZDataCollectionToken>& token,
                                  bool asUrgent, double urgentTimeoutSeconds = kRLZUrgentHandOffTimeoutSeconds);
  // Marks the report as sent, then removes it.
  bool cleanUpSubmittedReportAtPath(const std::string& path);

  // The transport event a report becomes: the same report always the same event, so that a
  // hand-off cut short and made again stores it once.
  static std::string eventIDForReportAtPath(const std::string& packagedPath);

  // Tests: runs at each moment of each hand-off, with the report's path.
  static void setHandOffHookForTesting(
      std::function<void(RLZHandOffMoment moment, const std::string& packagedPath)> hook);

 private:
  void packageAndSend(const std::string& packagedPath, bool asUrgent, double urgentTimeoutSeconds);

  std::shared_ptr<RLZManagerData> managerData_;
  std::atomic<bool> installIDChecked_{false};
};
