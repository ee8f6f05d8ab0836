// The payload of one prepared report handed to the transport: three metadata values and every
// record file of the directory verbatim, packed as one "videzu_ralitoze_Report" message
// (crash_report.proto).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/transport/core/vdtcor_event.h"

class RLZInstallIdentifierModel;

struct RLZRecordIdentity {
  std::optional<std::string> build_version;
};
struct RLZRecordHost {
  std::optional<std::string> platform;
};
struct RLZRecordApplication {
  std::optional<std::string> display_version;
  std::optional<std::string> build_version;
};

enum RLZReportPlatform : std::uint32_t {
  RLZReportPlatformUnknown = 0,
  RLZReportPlatformIOS = 1,
  RLZReportPlatformTVOS = 2,
  RLZReportPlatformMac = 5,
};

// The message as the adapter holds it; bytes fields stream through encoder callbacks, so a file
// of any size fits.
struct RLZReportMessage {
  struct File {
    std::string filename;
    platform::Data contents;
  };
  std::string sdkVersion;
  std::string videzuAppID;
  std::uint32_t platform = 0;
  std::string installationID;
  std::string buildVersion;
  std::string displayVersion;
  std::vector<File> files;
};

// None, after an error line, when the encoder fails.
std::optional<platform::Data> RLZEncodeReportMessage(const RLZReportMessage& message);

// What one report may carry: one transport event's payload, so that whatever is packaged is also
// kept and uploaded. Files beyond the count are left out, and the largest files are cut to keep
// the encoded report within the size; the records that make a report (metadata, the crash's own
// record, binary images, logs) get their room first, and what a cut leaves unused goes on to the
// files after it. A file none of which fits is left out rather than sent empty.
inline constexpr std::uint64_t kRLZMaxReportBytes = kVDTCORMaxEventPayloadBytes;
inline constexpr std::size_t kRLZMaxReportFiles = 64;

class RLZReportAdapter final : public VDTCOREventDataObject {
 public:
  RLZReportAdapter(std::string folderPath, std::string videzuAppID,
                   std::shared_ptr<RLZInstallIdentifierModel> installIDModel);

  static platform::Value::Dictionary combinedDictionariesFromFilePath(const std::string& path);
  static platform::Value::Array dictionariesFromEachLineOfFile(const std::string& path);
  static std::uint32_t protoPlatformFromString(const std::optional<std::string>& platform);
  // A crash record cut to `length` bytes by shortening the stack traces of its "threads" section,
  // the threads line and the crashed thread's stack kept whole, other lines kept while they fit;
  // none when that cannot bring it down so far (it is then cut by lines). Files are streamed the
  // same way (RLZCrashRecordFitter).
  static std::optional<platform::Data> crashRecordWithShorterStackTraces(const platform::Data& record,
                                                                         std::uint64_t length);

  // The record files by name, regular files only: a link or a FIFO is skipped with a log line.
  std::vector<std::string> rlzRecordFilePaths() const;
  const RLZReportMessage& report() const { return report_; }
  // False when a record file could not be read now (logged): such a report is not to be sent, its
  // file would go out empty.
  bool allRecordsRead() const { return allRecordsRead_; }
  // Whether a record the backend counts as an event or a crash was packed.
  bool holdsAnEventOrCrash() const;

  // Encoded anew on every call; none when encoding fails, so nothing is sent for a broken message.
  std::optional<platform::Data> transportBytes() const override;

 private:
  void loadMetaDataFile();
  RLZReportMessage protoReport();
  // `reserved`: what the rest of the encoded message takes.
  std::vector<RLZReportMessage::File> protoFilesPayload(std::uint64_t reserved);

  std::shared_ptr<RLZInstallIdentifierModel> installIDModel_;
  std::string folderPath_;
  std::string videzuAppID_;
  RLZRecordIdentity identity_;
  RLZRecordHost host_;
  RLZRecordApplication application_;
  RLZReportMessage report_;
  bool allRecordsRead_ = true;
};
