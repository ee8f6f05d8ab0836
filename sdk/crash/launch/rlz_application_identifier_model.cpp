#include "sdk/crash/launch/rlz_application_identifier_model.h"
#include <cstring>

#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/records/rlz_macho.h"

namespace {

std::string format(RLZApplicationIdentifierVersion v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.bugfix);
}

RLZApplicationIdentifierVersion unpack(std::uint32_t word) { return {word >> 16, (word >> 8) & 0xFF, word & 0xFF}; }

}  // namespace

std::shared_ptr<RLZApplicationIdentifierModel> RLZApplicationIdentifierModel::make() {
  const char* path = RLZMachOSliceGetExecutablePath(RLZMachOGetMainExecutableHeader());
  return path ? makeWithExecutablePath(path) : nullptr;
}

std::shared_ptr<RLZApplicationIdentifierModel> RLZApplicationIdentifierModel::makeWithExecutablePath(
    const std::string& path) {
  auto model = std::make_shared<RLZApplicationIdentifierModel>();
  if (!model->computeExecutableInfo(path)) return nullptr;
  model->computeInstanceIdentifier();
  return model;
}

bool RLZApplicationIdentifierModel::computeExecutableInfo(const std::string& path) {
  RLZMachOFile file;
  if (!RLZMachOFileInitWithPath(&file, path.c_str())) return false;
  RLZMachOEnumerateSlices(file.mappedFile, file.mappedSize, [this](RLZMachOSlice slice) {
    RLZMachOEnumerateLoadCommands(&slice, [&](uint32_t cmd, uint32_t cmdsize, const uint8_t* command) {
      if (cmd == RLZMachOCommandUUID && cmdsize >= 24) {
        char text[33];
        RLZMachONormalizeUUID(RLZMachOGetUUID(command), text);
        architectureUUIDMap_[RLZMachOSliceGetArchitectureName(slice)] = text;
      } else if ((cmd == RLZMachOCommandVersionMinMacOSX || cmd == RLZMachOCommandVersionMinIPhoneOS) &&
                 cmdsize >= 16) {
        std::uint32_t words[2];
        std::memcpy(words, command + 8, sizeof words);
        minimumSDK_ = unpack(words[0]);
        builtSDK_ = unpack(words[1]);
      }
    });
  });
  RLZMachOFileDestroy(&file);
  return true;
}

void RLZApplicationIdentifierModel::computeInstanceIdentifier() {
  std::string joined;
  for (const auto& [architecture, uuid] : architectureUUIDMap_) joined += uuid;  // the map is sorted by name
  buildInstanceID_ = RLZHashBytes(joined.data(), joined.size());
}

std::string RLZApplicationIdentifierModel::bundleID() const { return RLZApplicationGetBundleIdentifier(); }
std::string RLZApplicationIdentifierModel::displayName() const { return RLZApplicationGetName(); }
std::string RLZApplicationIdentifierModel::platform() const { return RLZApplicationGetPlatform(); }
std::string RLZApplicationIdentifierModel::buildVersion() const { return RLZApplicationGetBundleVersion(); }
std::string RLZApplicationIdentifierModel::displayVersion() const { return RLZApplicationGetShortBundleVersion(); }
std::string RLZApplicationIdentifierModel::synthesizedVersion() const {
  return displayVersion() + " (" + buildVersion() + ")";
}
int RLZApplicationIdentifierModel::installSource() const { return RLZApplicationInstallationSource(); }
std::string RLZApplicationIdentifierModel::builtSDKString() const { return format(builtSDK_); }
std::string RLZApplicationIdentifierModel::minimumSDKString() const { return format(minimumSDK_); }
