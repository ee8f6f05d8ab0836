#include "sdk/crash/reports/rlz_report_adapter.h"

#include <pb.h>
#include <pb_encode.h>

#include <algorithm>
#include <filesystem>
#include <numeric>

#include "platform/foundation/json.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/reports/rlz_identifiers.h"

namespace {

// ---- Field tables ----

struct RlzFile {
  pb_callback_t filename;
  pb_callback_t contents;
};
#define RlzFile_FIELDLIST(X, a)                 \
  X(a, CALLBACK, SINGULAR, BYTES, filename, 1) \
  X(a, CALLBACK, SINGULAR, BYTES, contents, 2)
#define RlzFile_CALLBACK pb_default_field_callback
#define RlzFile_DEFAULT NULL

struct RlzFilesPayload {
  pb_callback_t files;
};
#define RlzFilesPayload_FIELDLIST(X, a) X(a, CALLBACK, REPEATED, MESSAGE, files, 1)
#define RlzFilesPayload_CALLBACK pb_default_field_callback
#define RlzFilesPayload_DEFAULT NULL
#define RlzFilesPayload_files_MSGTYPE RlzFile

struct RlzReport {
  pb_callback_t sdk_version;
  pb_callback_t videzu_app_id;
  uint32_t platform;
  pb_callback_t installation_id;
  pb_callback_t build_version;
  pb_callback_t display_version;
  bool has_files_payload;
  RlzFilesPayload files_payload;
};
#define RlzReport_FIELDLIST(X, a)                        \
  X(a, CALLBACK, SINGULAR, BYTES, sdk_version, 1)        \
  X(a, CALLBACK, SINGULAR, BYTES, videzu_app_id, 3)      \
  X(a, STATIC, SINGULAR, UINT32, platform, 4)            \
  X(a, CALLBACK, SINGULAR, BYTES, installation_id, 5)    \
  X(a, CALLBACK, SINGULAR, BYTES, build_version, 6)      \
  X(a, CALLBACK, SINGULAR, BYTES, display_version, 7)    \
  X(a, STATIC, OPTIONAL, MESSAGE, files_payload, 10)
#define RlzReport_CALLBACK pb_default_field_callback
#define RlzReport_DEFAULT NULL
#define RlzReport_files_payload_MSGTYPE RlzFilesPayload

PB_BIND(RlzFile, RlzFile, AUTO)
PB_BIND(RlzFilesPayload, RlzFilesPayload, AUTO)
PB_BIND(RlzReport, RlzReport, AUTO)
#define RlzFile_fields &RlzFile_msg
#define RlzReport_fields &RlzReport_msg

// A present field even when empty: a missing metadata value is sent as zero-length bytes.
bool encodeBytes(pb_ostream_t* stream, const pb_field_t* field, const void* bytes, std::size_t size) {
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_string(stream, static_cast<const pb_byte_t*>(bytes), size);
}

bool encodeStringField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* text = static_cast<const std::string*>(*arg);
  return encodeBytes(stream, field, text->data(), text->size());
}

bool encodeDataField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* data = static_cast<const platform::Data*>(*arg);
  return encodeBytes(stream, field, data->data(), data->size());
}

pb_callback_t stringCallback(const std::string& text) {
  pb_callback_t callback{};
  callback.funcs.encode = &encodeStringField;
  callback.arg = const_cast<std::string*>(&text);
  return callback;
}

bool encodeFiles(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* files = static_cast<const std::vector<RLZReportMessage::File>*>(*arg);
  for (const auto& file : *files) {
    RlzFile message{};
    message.filename = stringCallback(file.filename);
    message.contents.funcs.encode = &encodeDataField;
    message.contents.arg = const_cast<platform::Data*>(&file.contents);
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, RlzFile_fields, &message)) {
      return false;
    }
  }
  return true;
}

RlzReport wireReport(const RLZReportMessage& report) {
  RlzReport message{};
  message.sdk_version = stringCallback(report.sdkVersion);
  message.videzu_app_id = stringCallback(report.videzuAppID);
  message.platform = report.platform;
  message.installation_id = stringCallback(report.installationID);
  message.build_version = stringCallback(report.buildVersion);
  message.display_version = stringCallback(report.displayVersion);
  message.has_files_payload = !report.files.empty();
  message.files_payload.files.funcs.encode = &encodeFiles;
  message.files_payload.files.arg = const_cast<std::vector<RLZReportMessage::File>*>(&report.files);
  return message;
}

const char* streamError(const pb_ostream_t& stream) { return PB_GET_ERROR(&stream) ? PB_GET_ERROR(&stream) : "(none)"; }

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

}  // namespace

std::optional<platform::Data> RLZEncodeReportMessage(const RLZReportMessage& report) {
  const RlzReport message = wireReport(report);
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, RlzReport_fields, &message)) {
    RLZErrorLog("Error in nanopb encoding for size: %s", std::string(streamError(sizing)));
    return std::nullopt;
  }
  platform::Data bytes(sizing.bytes_written);
  pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
  if (!pb_encode(&stream, RlzReport_fields, &message)) {
    RLZErrorLog("Error in nanopb encoding for bytes: %s", std::string(streamError(stream)));
    return std::nullopt;
  }
  return bytes;
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
  auto data = platform::FileManager::defaultManager().contentsOfRegularFile(path, kRLZMaxReportFileBytes);
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

RLZReportMessage RLZReportAdapter::protoReport() const {
  RLZReportMessage report;
  report.sdkVersion = identity_.build_version.value_or("");
  report.videzuAppID = videzuAppID_;
  report.platform = protoPlatformFromString(host_.platform);
  report.installationID = installIDModel_ ? installIDModel_->installID() : std::string();
  report.buildVersion = application_.build_version.value_or("");
  report.displayVersion = application_.display_version.value_or("");
  report.files = protoFilesPayload();
  return report;
}

std::vector<RLZReportMessage::File> RLZReportAdapter::protoFilesPayload() const {
  auto& fileSystem = platform::FileManager::defaultManager();
  std::vector<std::string> paths = rlzRecordFilePaths();
  if (paths.size() > kRLZMaxReportFiles) {
    RLZErrorLog("Leaving %@ files of the report at %@ out: more than %@", std::to_string(paths.size() - kRLZMaxReportFiles),
                folderPath_, std::to_string(kRLZMaxReportFiles));
    paths.resize(kRLZMaxReportFiles);
  }
  // The smaller files get their share of the report first, so that a huge file is what gets cut,
  // never the metadata beside it. A file is read no further than its size when listed.
  std::vector<std::uint64_t> sizes(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const auto attributes = fileSystem.attributesOfItem(paths[i]);
    sizes[i] = attributes ? attributes->size : 0;
  }
  std::vector<std::size_t> smallestFirst(paths.size());
  std::iota(smallestFirst.begin(), smallestFirst.end(), std::size_t{0});
  std::stable_sort(smallestFirst.begin(), smallestFirst.end(),
                   [&](std::size_t a, std::size_t b) { return sizes[a] < sizes[b]; });
  std::vector<std::uint64_t> limits(paths.size());
  std::uint64_t room = kRLZMaxReportBytes;
  for (std::size_t i : smallestFirst) {
    limits[i] = std::min({sizes[i], kRLZMaxReportFileBytes, room});
    room -= limits[i];
  }

  std::vector<RLZReportMessage::File> files;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    RLZReportMessage::File file;
    file.filename = std::filesystem::path(paths[i]).filename().string();
    platform::Error error;
    if (auto data = fileSystem.contentsOfRegularFile(paths[i], limits[i], &error)) {
      file.contents = std::move(*data);
      if (sizes[i] > limits[i]) {
        RLZErrorLog("Report file %@ of %@ bytes is cut at %@", paths[i], std::to_string(sizes[i]),
                    std::to_string(limits[i]));
      }
    } else {
      RLZErrorLog("Failed to read from %@ with error: %@", paths[i], error.description());
    }
    files.push_back(std::move(file));
  }
  return files;
}

std::optional<platform::Data> RLZReportAdapter::transportBytes() const { return RLZEncodeReportMessage(report_); }
