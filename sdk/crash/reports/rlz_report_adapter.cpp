#include "sdk/crash/reports/rlz_report_adapter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <numeric>
#include <string_view>

#include "platform/foundation/json.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/file_manager.h"
#include "platform/mach/thread_state.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/reports/crash_report.pb.h"
#include "sdk/crash/reports/rlz_crash_record_fitter.h"
#include "sdk/crash/reports/rlz_identifiers.h"
#include "sdk/crash/reports/rlz_internal_report.h"
#include "sdk/crash/unwind/rlz_unwind.h"
#include "sdk/utilities/wire/wire_codec.h"

namespace {

void fillFile(const RLZReportMessage::File& file, videzu_ralitoze_FilesPayload_File& message) {
  message.filename = wire::bytesField(file.filename);
  message.contents = wire::bytesField(file.contents);
}

// A missing metadata value is still a present field: every text goes on the wire, empty or not.
videzu_ralitoze_Report wireReport(const RLZReportMessage& report) {
  videzu_ralitoze_Report message{};
  message.sdk_version = wire::bytesField(report.sdkVersion);
  message.videzu_app_id = wire::bytesField(report.videzuAppID);
  message.platform = report.platform;
  message.installation_id = wire::bytesField(report.installationID);
  message.build_version = wire::bytesField(report.buildVersion);
  message.display_version = wire::bytesField(report.displayVersion);
  message.has_files_payload = !report.files.empty();
  message.files_payload.files = wire::repeatedMessages<&fillFile>(report.files);
  return message;
}

const platform::Value* member(const platform::Value::Dictionary& dictionary, const char* key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

// A section's string; JSON null is an error the encoder turns into an empty field.
std::optional<std::string> sectionString(const platform::Value* section, const char* key) {
  const auto* body = section ? section->ifDictionary() : nullptr;
  const auto* value = body ? member(*body, key) : nullptr;
  if (!value) return std::nullopt;
  if (value->isNull()) {
    RLZErrorLog(
        "Expected encodable string, but found NSNull instead. Set a symbolic breakpoint at RLZEncodeString to debug.");
    return std::nullopt;
  }
  if (const std::string* text = value->ifString()) return *text;
  return std::nullopt;
}

constexpr std::string_view kSymbolicatedSuffix = ".symbolicated";
// The largest crash record the crash-time writer can make: every thread of a full task at the
// unwinder's deepest stack, each frame a 20-digit address and its comma, with its registers, names
// and the other sections besides. Records up to this size are streamed through to shorten their
// stack traces, which bounds the work of one report; a larger one is no unwinder's and is cut by
// lines.
constexpr std::uint64_t kMaxCrashRecordReadBytes =
    platform::mach::kMaxTaskThreads * (std::uint64_t{RLZUnwindMaxFrames} * 21 + (4 << 10)) + (std::uint64_t{16} << 20);

bool isCrashRecord(const std::string& name) {
  const auto& crashes = RLZInternalReport::crashFileNames();
  return std::find(crashes.begin(), crashes.end(), name) != crashes.end();
}

// Records written by appending, so their newest entries come last.
bool isAppendedRecord(const std::string& name) {
  // Constants that need no destruction: a report may still be packed on a worker while the
  // process exits.
  static constexpr std::string_view appended[]{"log_a.rlzrecord",
                                               "log_b.rlzrecord",
                                               "errors_a.rlzrecord",
                                               "errors_b.rlzrecord",
                                               "custom_exception_a.rlzrecord",
                                               "custom_exception_b.rlzrecord",
                                               "user_incremental_kv.rlzrecord",
                                               "internal_incremental_kv.rlzrecord"};
  return std::ranges::find(appended, name) != std::end(appended);
}

// Which files a report keeps first when it cannot keep them all: the records that make the
// report, then the named copies of threads made at launch (derived from the crash record beside
// them), then the reporter's other records, then anything else found in the folder.
enum class PackingRank { Metadata, Crash, BinaryImages, Logs, Symbolicated, OtherRecord, Other };

PackingRank packingRank(const std::string& name) {
  static constexpr std::string_view otherRecords[]{
      "custom_exception_a.rlzrecord",  "custom_exception_b.rlzrecord",  "errors_a.rlzrecord",
      "errors_b.rlzrecord",            "metric_kit_nonfatal.rlzrecord", "user_incremental_kv.rlzrecord",
      "user_compacted_kv.rlzrecord",   "internal_incremental_kv.rlzrecord", "internal_compacted_kv.rlzrecord"};
  if (name == "metadata.rlzrecord") return PackingRank::Metadata;
  if (isCrashRecord(name)) return PackingRank::Crash;
  if (name == "binary_images.rlzrecord") return PackingRank::BinaryImages;
  if (name == "log_a.rlzrecord" || name == "log_b.rlzrecord") return PackingRank::Logs;
  if (name.ends_with(kSymbolicatedSuffix)) return PackingRank::Symbolicated;
  if (std::ranges::find(otherRecords, name) != std::end(otherRecords)) return PackingRank::OtherRecord;
  return PackingRank::Other;
}

// Files share the room group by group: the records that make the report first, all of them
// alike, then each later rank with what is left.
int shareGroup(PackingRank rank) { return rank <= PackingRank::Logs ? 0 : static_cast<int>(rank); }

std::uint64_t varintSize(std::uint64_t value) {
  std::uint64_t size = 1;
  for (; value >= 0x80; value >>= 7) ++size;
  return size;
}

// One length-delimited field: its tag, its length and its bytes.
std::uint64_t lengthDelimitedSize(std::uint64_t length) { return 1 + varintSize(length) + length; }

// What one file adds to the encoded message besides its contents, whatever their length (below
// 2^32: a length takes at most 5 bytes): the file's entry, its name field, its contents' tag and
// length.
std::uint64_t fileFieldsSize(const std::string& name) { return (1 + 5) + lengthDelimitedSize(name.size()) + (1 + 5); }

// The last `length` bytes of the file, from the start of a line: the newest entries of a record
// written by appending. None when the file cannot be read.
std::optional<platform::Data> newestLines(const std::string& path, std::uint64_t size, std::uint64_t length,
                                          platform::Error* error) {
  const int fd = platform::openRegularFileForReading(path);
  if (fd < 0) {
    platform::setError(error, platform::fileError(platform::kFileReadUnknownError, path, errno));
    return std::nullopt;
  }
  // One byte before the part kept tells whether it begins a line.
  const std::uint64_t start = size - length;
  const std::uint64_t from = start == 0 ? 0 : start - 1;
  platform::Data bytes(static_cast<std::size_t>(size - from));
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + filled, bytes.size() - filled, static_cast<off_t>(from + filled));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      platform::setError(error, platform::fileError(platform::kFileReadUnknownError, path, err));
      return std::nullopt;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(filled);
  if (from == start) return bytes;
  const auto newline = std::find(bytes.begin(), bytes.end(), std::uint8_t{'\n'});
  bytes.erase(bytes.begin(), newline == bytes.end() ? bytes.end() : newline + 1);
  return bytes;
}

// Hands the file's first `size` bytes to `piece` through one fixed buffer, from the start; false
// (error set) when reading fails. `piece` returns false to stop early.
template <typename Piece>
bool streamFile(int fd, const std::string& path, std::uint64_t size, Piece&& piece, platform::Error* error) {
  std::vector<char> buffer(std::size_t{1} << 20);
  for (std::uint64_t offset = 0; offset < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
    const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      platform::setError(error, platform::fileError(platform::kFileReadUnknownError, path, errno));
      return false;
    }
    if (n == 0) break;
    offset += static_cast<std::uint64_t>(n);
    if (!piece(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) break;
  }
  return true;
}

// A crash record of `size` bytes shortened to fit `length` (its stack traces cut, and other lines
// left out when they must), read twice and never held whole: `fitted` is none when it cannot be
// shortened so far. False (error set) when the file cannot be read.
bool crashRecordFileWithShorterStackTraces(const std::string& path, std::uint64_t size, std::uint64_t length,
                                           std::optional<platform::Data>& fitted, platform::Error* error) {
  const int fd = platform::openRegularFileForReading(path);
  if (fd < 0) {
    platform::setError(error, platform::fileError(platform::kFileReadUnknownError, path, errno));
    return false;
  }
  RLZCrashRecordFitter fitter(length);
  bool read = streamFile(fd, path, size, [&](std::string_view piece) { return fitter.measure(piece); }, error);
  if (read && fitter.finishMeasuring()) {
    read = streamFile(fd, path, size, [&](std::string_view piece) {
      fitter.write(piece);
      return true;
    }, error);
  }
  ::close(fd);
  fitted = fitter.finishWriting();
  if (fitted && fitter.linesLeftOut() > 0) {
    RLZErrorLog("Leaving %@ lines of report file %@ out: no room for them beside its threads",
                std::to_string(fitter.linesLeftOut()), path);
  }
  return read;
}

// The first `length` bytes of the file, whole lines only: every line that travels parses.
std::optional<platform::Data> oldestLines(const std::string& path, std::uint64_t length, platform::Error* error) {
  auto bytes = platform::FileManager::defaultManager().contentsOfRegularFile(path, length, error);
  if (!bytes) return std::nullopt;
  const auto lastNewline = std::find(bytes->rbegin(), bytes->rend(), std::uint8_t{'\n'});
  bytes->erase(lastNewline.base(), bytes->end());
  return bytes;
}

}  // namespace

std::optional<platform::Data> RLZReportAdapter::crashRecordWithShorterStackTraces(const platform::Data& record,
                                                                                 std::uint64_t length) {
  RLZCrashRecordFitter fitter(length);
  const std::string_view text(reinterpret_cast<const char*>(record.data()), record.size());
  fitter.measure(text);
  if (!fitter.finishMeasuring()) return std::nullopt;
  fitter.write(text);
  return fitter.finishWriting();
}

std::optional<platform::Data> RLZEncodeReportMessage(const RLZReportMessage& report) {
  const videzu_ralitoze_Report message = wireReport(report);
  wire::Encoded encoded = wire::encode(&videzu_ralitoze_Report_msg, &message);
  if (encoded.sizingError) {
    RLZErrorLog("Error in nanopb encoding for size: %s", std::string(encoded.sizingError));
    return std::nullopt;
  }
  if (encoded.writingError) {
    RLZErrorLog("Error in nanopb encoding for bytes: %s", std::string(encoded.writingError));
    return std::nullopt;
  }
  return std::move(encoded.bytes);
}

RLZReportAdapter::RLZReportAdapter(std::string folderPath, std::string videzuAppID,
                                   std::shared_ptr<RLZInstallIdentifierModel> installIDModel)
    : installIDModel_(std::move(installIDModel)), folderPath_(std::move(folderPath)), videzuAppID_(std::move(videzuAppID)) {
  loadMetaDataFile();
  report_ = protoReport();
}

void RLZReportAdapter::loadMetaDataFile() {
  const auto sections =
      combinedDictionariesFromFilePath((std::filesystem::path(folderPath_) / "metadata.rlzrecord").string());
  identity_.build_version = sectionString(member(sections, "identity"), "build_version");
  host_.platform = sectionString(member(sections, "host"), "platform");
  const platform::Value* application = member(sections, "application");
  application_.display_version = sectionString(application, "display_version");
  application_.build_version = sectionString(application, "build_version");
}

platform::Value::Dictionary RLZReportAdapter::combinedDictionariesFromFilePath(const std::string& path) {
  platform::Value::Dictionary combined;
  for (const platform::Value& line : dictionariesFromEachLineOfFile(path)) {
    if (const auto* dictionary = line.ifDictionary()) {
      for (const auto& [key, value] : *dictionary) combined[key] = value;
    }
  }
  return combined;
}

platform::Value::Array RLZReportAdapter::dictionariesFromEachLineOfFile(const std::string& path) {
  platform::Value::Array objects;
  auto data = platform::FileManager::defaultManager().contentsOfRegularFile(path, kRLZMaxRecordFileBytes);
  if (!data) return objects;
  const std::string text(data->begin(), data->end());
  int lineNumber = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    ++lineNumber;
    const std::string_view piece(text.data() + start, end - start);
    if (!piece.empty()) {
      platform::Error error;
      if (auto value = platform::JSON::parse(piece, &error)) {
        objects.push_back(std::move(*value));
      } else {
        RLZErrorLog("Failed to read JSON from file (%@) line (%d) with error: %@", path, lineNumber,
                    error.localizedDescription());
      }
    }
    start = end + 1;
  }
  return objects;
}

std::uint32_t RLZReportAdapter::protoPlatformFromString(const std::optional<std::string>& platformName) {
  if (!platformName) return RLZReportPlatformUnknown;
  const std::string name = platform::strings::lowercase(*platformName);
  if (name == "ios") return RLZReportPlatformIOS;
  if (name == "tvos") return RLZReportPlatformTVOS;
  if (name == "mac") return RLZReportPlatformMac;
  return RLZReportPlatformUnknown;
}

std::vector<std::string> RLZReportAdapter::rlzRecordFilePaths() const {
  std::vector<std::string> paths;
  auto& files = platform::FileManager::defaultManager();
  platform::Error error;
  const auto names = files.contentsOfDirectory(folderPath_, &error);
  if (!names) {
    RLZErrorLog("Failed to find .rlzrecords from %@ with error: %@", folderPath_, error.description());
    return paths;
  }
  for (const auto& name : *names) {
    const std::string extension = platform::strings::lowercase(std::filesystem::path(name).extension().string());
    if (extension != ".rlzrecord" && extension != ".symbolicated") continue;
    const std::string path = (std::filesystem::path(folderPath_) / name).string();
    const auto attributes = files.attributesOfItem(path);
    if (!attributes || attributes->type != platform::FileType::Regular) {
      RLZErrorLog("Skipping %@ in the report: not a regular file", path);
      continue;
    }
    paths.push_back(path);
  }
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    return platform::strings::localizedCaseInsensitiveCompare(a, b) < 0;
  });
  return paths;
}

RLZReportMessage RLZReportAdapter::protoReport() {
  RLZReportMessage report;
  report.sdkVersion = identity_.build_version.value_or("");
  report.videzuAppID = videzuAppID_;
  report.platform = protoPlatformFromString(host_.platform);
  report.installationID = installIDModel_ ? installIDModel_->installID() : std::string();
  report.buildVersion = application_.build_version.value_or("");
  report.displayVersion = application_.display_version.value_or("");
  std::uint64_t reserved = report.platform ? 1 + varintSize(report.platform) : 0;
  for (const std::string* text : {&report.sdkVersion, &report.videzuAppID, &report.installationID,
                                  &report.buildVersion, &report.displayVersion}) {
    reserved += lengthDelimitedSize(text->size());
  }
  report.files = protoFilesPayload(reserved + (1 + 5));  // the files payload's own tag and length
  return report;
}

std::vector<RLZReportMessage::File> RLZReportAdapter::protoFilesPayload(std::uint64_t reserved) {
  auto& fileSystem = platform::FileManager::defaultManager();
  struct Candidate {
    std::string path;
    std::string name;
    PackingRank rank;
    std::uint64_t size = 0;
    // None for a file left out.
    std::optional<platform::Data> contents;
  };
  std::vector<Candidate> candidates;
  for (auto& path : rlzRecordFilePaths()) {
    std::string name = std::filesystem::path(path).filename().string();
    const PackingRank rank = packingRank(name);
    candidates.push_back({std::move(path), std::move(name), rank, 0, std::nullopt});
  }
  // Stable: within a rank the files keep their name order.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.rank < b.rank; });
  if (candidates.size() > kRLZMaxReportFiles) {
    RLZErrorLog("Leaving %@ files of the report at %@ out: more than %@",
                std::to_string(candidates.size() - kRLZMaxReportFiles), folderPath_, std::to_string(kRLZMaxReportFiles));
    candidates.resize(kRLZMaxReportFiles);
  }
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return platform::strings::localizedCaseInsensitiveCompare(a.path, b.path) < 0;
  });

  // The records that make the report get their room first, and within each group the smaller
  // files first, so that the largest are what gets cut. A file is read no further than its size
  // when listed.
  std::uint64_t room = kRLZMaxReportBytes - std::min(kRLZMaxReportBytes, reserved);
  for (auto& candidate : candidates) {
    const auto attributes = fileSystem.attributesOfItem(candidate.path);
    candidate.size = attributes ? attributes->size : 0;
    room -= std::min(room, fileFieldsSize(candidate.name));
  }
  std::vector<Candidate*> byShare;
  for (auto& candidate : candidates) byShare.push_back(&candidate);
  std::stable_sort(byShare.begin(), byShare.end(), [](const Candidate* a, const Candidate* b) {
    if (shareGroup(a->rank) != shareGroup(b->rank)) return shareGroup(a->rank) < shareGroup(b->rank);
    return a->size < b->size;
  });
  // The crash records streamed for one report add up to one record of the largest size at most:
  // two reads of that bound the work, whatever the report holds.
  std::uint64_t streamable = kMaxCrashRecordReadBytes;
  // Within a group, smallest first, each file takes at most an equal share of what is left: the
  // largest are cut, and to the same size. Files are read in that order, so that what a cut
  // leaves unused goes on to the files after it.
  for (std::size_t i = 0; i < byShare.size(); ++i) {
    Candidate& candidate = *byShare[i];
    std::size_t sharing = 1;
    while (i + sharing < byShare.size() && shareGroup(byShare[i + sharing]->rank) == shareGroup(candidate.rank)) {
      ++sharing;
    }
    const std::uint64_t limit = std::min(candidate.size, room / sharing);
    platform::Error error;
    const bool cut = limit < candidate.size;
    std::optional<platform::Data> data;
    if (!cut) {
      data = fileSystem.contentsOfRegularFile(candidate.path, limit, &error);
    } else if (limit == 0) {
      data.emplace();
    } else if (isAppendedRecord(candidate.name)) {
      data = newestLines(candidate.path, candidate.size, limit, &error);
    } else if (candidate.rank == PackingRank::Crash && candidate.size <= streamable) {
      // The threads of a crash say most about it: their stacks are shortened before any section
      // is left out.
      streamable -= candidate.size;
      std::optional<platform::Data> fitted;
      if (crashRecordFileWithShorterStackTraces(candidate.path, candidate.size, limit, fitted, &error)) {
        data = fitted ? std::move(fitted) : oldestLines(candidate.path, limit, &error);
      }
    } else {
      data = oldestLines(candidate.path, limit, &error);
    }
    if (!data) {
      // Not read now is not empty: the report waits for a later attempt.
      allRecordsRead_ = false;
      RLZErrorLog("Failed to read from %@ with error: %@", candidate.path, error.description());
      candidate.contents.emplace();
      continue;
    }
    room -= std::min<std::uint64_t>(room, data->size());
    if (cut && data->empty()) {
      // Nothing of it fits: an empty file in its place would say it had nothing to tell.
      RLZErrorLog("Leaving report file %@ of %@ bytes out: no room for it", candidate.path,
                  std::to_string(candidate.size));
      room += fileFieldsSize(candidate.name);
      continue;
    }
    if (cut) {
      RLZErrorLog("Report file %@ of %@ bytes is cut to %@", candidate.path, std::to_string(candidate.size),
                  std::to_string(data->size()));
    }
    candidate.contents = std::move(data);
  }

  std::vector<RLZReportMessage::File> files;
  for (auto& candidate : candidates) {
    if (!candidate.contents) continue;
    files.push_back({candidate.name, std::move(*candidate.contents)});
  }
  return files;
}

bool RLZReportAdapter::holdsAnEventOrCrash() const {
  const auto& events = RLZInternalReport::eventFileNames();
  for (const auto& file : report_.files) {
    if (std::find(events.begin(), events.end(), file.filename) != events.end() || isCrashRecord(file.filename)) {
      return true;
    }
  }
  return false;
}

std::optional<platform::Data> RLZReportAdapter::transportBytes() const { return RLZEncodeReportMessage(report_); }
