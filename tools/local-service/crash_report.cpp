#include "tools/local-service/crash_report.h"

#include <sstream>

#include "tools/local-service/wire_format.h"

namespace local_service {

const std::string* CrashReport::file(std::string_view name) const {
  for (const auto& [fileName, contents] : files) {
    if (fileName == name) return &contents;
  }
  return nullptr;
}

std::optional<CrashReport> decodeCrashReport(std::string_view message, std::string& error) {
  std::vector<WireField> fields;
  if (!readWireFields(message, fields, error)) return std::nullopt;
  CrashReport report;
  for (const WireField& f : fields) {
    if (f.number == 4 && f.wireType == 0) {
      report.platform = f.value;
      continue;
    }
    if (f.wireType != 2) continue;
    const std::string bytes(f.bytes);
    switch (f.number) {
      case 1: report.sdkVersion = bytes; break;
      case 3: report.videzuAppID = bytes; break;
      case 5: report.installationID = bytes; break;
      case 6: report.buildVersion = bytes; break;
      case 7: report.displayVersion = bytes; break;
      case 10: {
        std::vector<WireField> payload;
        if (!readWireFields(f.bytes, payload, error)) return std::nullopt;
        for (const WireField& file : payload) {
          if (file.number != 1 || file.wireType != 2) continue;
          std::vector<WireField> parts;
          if (!readWireFields(file.bytes, parts, error)) return std::nullopt;
          std::pair<std::string, std::string> entry;
          for (const WireField& part : parts) {
            if (part.wireType != 2) continue;
            if (part.number == 1) entry.first = std::string(part.bytes);
            if (part.number == 2) entry.second = std::string(part.bytes);
          }
          report.files.push_back(std::move(entry));
        }
        break;
      }
      default: break;
    }
  }
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
