#include "sdk/crash/launch/rlz_macho_binary.h"

#include <algorithm>
#include <filesystem>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"
#include "sdk/crash/launch/rlz_utilities.h"

RLZMachOSliceObject::RLZMachOSliceObject(RLZMachOSlice slice) : slice_(slice) {
  RLZMachOEnumerateLoadCommands(&slice_, [this](uint32_t cmd, uint32_t cmdsize, const uint8_t* command) {
    switch (cmd) {
      case RLZMachOCommandUUID:
        if (cmdsize >= 24) {
          char text[33];
          RLZMachONormalizeUUID(RLZMachOGetUUID(command), text);
          uuid_ = text;
        }
        break;
      case RLZMachOCommandLoadDylib:
        if (const char* path = RLZMachOGetDylibPath(command)) linkedDylibs_.emplace_back(path);
        break;
      case RLZMachOCommandVersionMinMacOSX:
      case RLZMachOCommandVersionMinIPhoneOS:
      case RLZMachOCommandVersionMinTVOS:
      case RLZMachOCommandVersionMinWatchOS:
        if (cmdsize >= 16) {
          minimumOSVersion_ = RLZMachOGetMinimumOSVersion(command);
          linkedSDKVersion_ = RLZMachOGetLinkedSDKVersion(command);
        }
        break;
      case RLZMachOCommandEncryptionInfo:
      case RLZMachOCommandEncryptionInfo64: encrypted_ = RLZMachOGetEncrypted(command); break;
      default: break;
    }
  });
}

std::shared_ptr<RLZMachOSliceObject> RLZMachOSliceObject::runningSlice() {
  return std::make_shared<RLZMachOSliceObject>(RLZMachOGetMainExecutableHeader());
}

std::shared_ptr<RLZMachOBinary> RLZMachOBinary::MachOBinaryWithPath(const std::string& path) {
  std::shared_ptr<RLZMachOBinary> binary(new RLZMachOBinary);
  binary->path_ = path;
  if (!RLZMachOFileInitWithPath(&binary->file_, path.c_str())) return nullptr;
  auto* slices = &binary->slices_;
  RLZMachOFileEnumerateSlices(
      &binary->file_,
      [](void* context, RLZMachOSlice slice) {
        static_cast<decltype(slices)>(context)->push_back(std::make_shared<RLZMachOSliceObject>(slice));
      },
      slices);
  return binary;
}

RLZMachOBinary::~RLZMachOBinary() { RLZMachOFileDestroy(&file_); }

const std::string& RLZMachOBinary::instanceIdentifier() {
  if (!instanceIdentifier_) {
    auto sorted = slices_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a->architectureName() < b->architectureName(); });
    std::string joined;
    for (const auto& slice : sorted) joined += slice->uuid();
    instanceIdentifier_ = hashNSString(joined);
  }
  return *instanceIdentifier_;
}

void RLZMachOBinary::enumerateUUIDs(
    const std::function<void(const std::string& uuid, const std::string& architecture)>& block) const {
  for (const auto& slice : slices_) block(slice->uuid(), slice->architectureName());
}

std::shared_ptr<RLZMachOSliceObject> RLZMachOBinary::sliceForArchitecture(const std::string& architecture) const {
  for (const auto& slice : slices_) {
    if (slice->architectureName() == architecture) return slice;
  }
  return nullptr;
}

std::string RLZMachOBinary::hashNSString(const std::string& text) { return RLZHashBytes(text.data(), text.size()); }

std::shared_ptr<RLZdSYM> RLZdSYM::dSYMWithURL(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(path, ec)) return nullptr;
  auto bundle = platform::Bundle::at(path);
  if (!bundle) return nullptr;
  const fs::path dwarf = fs::path(path) / "Contents" / "Resources" / "DWARF";
  if (!fs::is_directory(dwarf, ec)) return nullptr;
  const auto entries = platform::FileManager::defaultManager().contentsOfDirectory(dwarf);
  if (!entries || entries->empty()) return nullptr;
  auto binary = RLZMachOBinary::MachOBinaryWithPath((dwarf / entries->front()).string());
  if (!binary) return nullptr;
  auto dsym = std::make_shared<RLZdSYM>();
  dsym->bundle_ = std::move(bundle);
  dsym->binary_ = std::move(binary);
  return dsym;
}

std::string RLZdSYM::bundleIdentifier() const {
  constexpr std::string_view kPrefix = "com.apple.xcode.dsym.";
  std::string id = bundle_->bundleIdentifier();
  if (id.starts_with(kPrefix)) id.erase(0, kPrefix.size());
  return id;
}

std::string RLZdSYM::bundleVersion() const {
  return bundle_->objectForInfoDictionaryKey("CFBundleVersion").string();
}

std::string RLZdSYM::shortBundleVersion() const {
  return bundle_->objectForInfoDictionaryKey("CFBundleShortVersionString").string();
}
