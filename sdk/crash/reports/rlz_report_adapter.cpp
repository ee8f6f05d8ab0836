#include "sdk/crash/reports/rlz_report_adapter.h"

#include <algorithm>
#include <filesystem>
#include <numeric>

#include "platform/foundation/json.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/reports/crash_report.pb.h"
#include "sdk/crash/reports/rlz_identifiers.h"
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

}  // namespace

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
