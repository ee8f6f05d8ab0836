#include "tools/local-service/crash_report.h"

#include <sstream>

#include "sdk/crash/reports/crash_report.pb.h"
#include "sdk/utilities/wire/wire_codec.h"

namespace local_service {

const std::string* CrashReport::file(std::string_view name) const {
  for (const auto& [fileName, contents] : files) {
    if (fileName == name) return &contents;
  }
  return nullptr;
}

namespace {

using File = std::pair<std::string, std::string>;

void prepareFile(videzu_ralitoze_FilesPayload_File& message, File& file) {
  message.filename = wire::bytesInto(file.first);
  message.contents = wire::bytesInto(file.second);
}

void finishFile(const videzu_ralitoze_FilesPayload_File&, File&) {}

}  // namespace

std::optional<CrashReport> decodeCrashReport(std::string_view message, std::string& error) {
  CrashReport report;
  videzu_ralitoze_Report decoded{};
  decoded.sdk_version = wire::bytesInto(report.sdkVersion);
  decoded.videzu_app_id = wire::bytesInto(report.videzuAppID);
  decoded.installation_id = wire::bytesInto(report.installationID);
  decoded.build_version = wire::bytesInto(report.buildVersion);
  decoded.display_version = wire::bytesInto(report.displayVersion);
  decoded.files_payload.files = wire::messagesInto<&prepareFile, &finishFile>(report.files);
  if (const char* failure = wire::decode(&videzu_ralitoze_Report_msg, message, &decoded)) {
    error = std::string("not a crash report: ") + failure;
    return std::nullopt;
  }
  report.platform = decoded.platform;
  return report;
}

std::string describeCrashReport(const CrashReport& report) {
  std::ostringstream out;
  out << "    crash report: sdk " << report.sdkVersion << ", app " << report.videzuAppID << ", platform "
      << report.platform << ", install " << report.installationID << ", build " << report.buildVersion << " ("
      << report.displayVersion << "), " << report.files.size() << " files\n";
  for (const auto& [name, contents] : report.files) {
    out << "      " << name << " (" << contents.size() << " bytes)\n";
  }
  return out.str();
}

}  // namespace local_service
