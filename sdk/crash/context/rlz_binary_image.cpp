#include "sdk/crash/context/rlz_binary_image.h"

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dyld/dyld.h"
#include "platform/foundation/bundle.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

uint64_t loadWord64(const uint8_t* at) {
  uint64_t value;
  memcpy(&value, at, sizeof value);
  return value;
}

uint32_t loadWord32(const uint8_t* at) {
  uint32_t value;
  memcpy(&value, at, sizeof value);
  return value;
}

std::string formatVersion(RLZMachOVersion v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

struct BundleFacts {
  std::string identifier;
  std::string buildVersion;
  std::string displayVersion;
};

// An app framework (not a system one) is described by the bundle around it.
std::optional<BundleFacts> frameworkBundle(const std::optional<std::string>& path) {
  if (!path || path->starts_with("/System") || path->find(".framework") == std::string::npos) return std::nullopt;
  auto bundle = platform::Bundle::at(std::filesystem::path(*path).parent_path());
  if (!bundle || bundle->infoDictionary().empty()) return std::nullopt;
  return BundleFacts{bundle->bundleIdentifier(), bundle->objectForInfoDictionaryKey("CFBundleVersion").string(),
                     bundle->objectForInfoDictionaryKey("CFBundleShortVersionString").string()};
}

void recordLine(bool added, const RLZBinaryImageDetails& details, const std::optional<std::string>& path) {
  RLZWritableContext* writable = _rlzContext.writable;
  if (!RLZIsValidPointer(writable)) return;
  bool needsClosing = false;
  if (!RLZBinaryImageOpenIfNeeded(&needsClosing)) {
    RLZSDKLogWarn("Error: unable to open binary image log file\n");
    return;
  }
  RLZFile* file = &writable->binaryImage.file;
  RLZFileWriteSectionStart(file, added ? "load" : "unload");
  RLZFileWriteHashStart(file);
  RLZFileWriteHashEntryString(file, "path", path ? path->c_str() : nullptr);
  if (added) {
    if (const auto bundle = frameworkBundle(path)) {
      RLZFileWriteHashEntryNSString(file, "bundle_id", bundle->identifier.c_str());
      RLZFileWriteHashEntryNSString(file, "build_version", bundle->buildVersion.c_str());
      RLZFileWriteHashEntryNSString(file, "display_version", bundle->displayVersion.c_str());
    }
  }
  RLZBinaryImageRecordDetails(file, &details);
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
  if (needsClosing) RLZFileClose(file);
}

}  // namespace

void RLZBinaryImageInit(RLZBinaryImageReadOnlyContext* binaryImageContext, RLZWritableContext* writableContext) {
  memset(&writableContext->binaryImage, 0, sizeof writableContext->binaryImage);
  writableContext->binaryImage.file.fd = -1;
  const char* path = binaryImageContext->path;
  auto queue = RLZContextBinaryImageQueue();
  queue->async([path, writableContext] {
    if (!RLZUnlinkIfExists(path)) RLZSDKLogWarn("Unable to reset the binary image log file %s\n", strerror(errno));
    if (!RLZFileInitWithPath(&writableContext->binaryImage.file, path, false)) {
      RLZSDKLogWarn("Error: Unable to open the binary image log file during init\n");
    }
  });
  platform::dyld::registerAddImageCallback(RLZBinaryImageAddedCallback);
  platform::dyld::registerRemoveImageCallback(RLZBinaryImageRemovedCallback);
  queue->async([writableContext] {
    if (RLZFileIsOpen(&writableContext->binaryImage.file)) RLZFileClose(&writableContext->binaryImage.file);
  });
}

void RLZBinaryImageAddedCallback(const void* header, intptr_t slide) { RLZBinaryImageChanged(true, header, slide); }
void RLZBinaryImageRemovedCallback(const void* header, intptr_t slide) { RLZBinaryImageChanged(false, header, slide); }

void RLZBinaryImageChanged(bool added, const void* header, intptr_t slide) {
  RLZBinaryImageDetails details;
  memset(&details, 0, sizeof details);
  details.slice = RLZMachOSliceWithHeader(header);
  details.vmaddrSlide = slide;
  RLZBinaryImageFillInImageDetails(&details);
  // Asked now: once the loader has finished with a removed image it no longer knows its path.
  auto path = platform::dyld::pathForHeader(header);
  RLZContextBinaryImageQueue()->async([added, details, path = std::move(path)] {
    RLZBinaryImageStoreNode(added, details);
    recordLine(added, details, path);
  });
}

void RLZBinaryImageFillInImageDetails(RLZBinaryImageDetails* details) {
  if (!RLZIsValidPointer(details->slice.startAddress)) return;
  details->node.baseAddress = reinterpret_cast<uintptr_t>(details->slice.startAddress);
  RLZMachOEnumerateLoadCommands(&details->slice, [details](uint32_t cmd, uint32_t cmdsize, const uint8_t* command) {
    switch (cmd) {
      case RLZMachOCommandVersionMinMacOSX:
      case RLZMachOCommandVersionMinIPhoneOS:
      case RLZMachOCommandVersionMinTVOS:
      case RLZMachOCommandVersionMinWatchOS:
        if (cmdsize >= 16) {
          details->minSDK = RLZMachOGetMinimumOSVersion(command);
          details->builtSDK = RLZMachOGetLinkedSDKVersion(command);
        }
        break;
      case RLZMachOCommandUUID:
        if (cmdsize >= 24) RLZMachONormalizeUUID(RLZMachOGetUUID(command), details->uuidString);
        break;
      // 64-bit images carry the 64-bit form; reading only the 32-bit one would call them all clear.
      case RLZMachOCommandEncryptionInfo:
      case RLZMachOCommandEncryptionInfo64: details->encrypted = RLZMachOGetEncrypted(command); break;
      case RLZMachOCommandSegment64:
        if (cmdsize >= 72 && strncmp(reinterpret_cast<const char*>(command + 8), "__TEXT", 16) == 0) {
          details->node.size = loadWord64(command + 32);
        }
        break;
      case RLZMachOCommandSegment:
        if (cmdsize >= 56 && strncmp(reinterpret_cast<const char*>(command + 8), "__TEXT", 16) == 0) {
          details->node.size = loadWord32(command + 28);
        }
        break;
      default: break;
    }
  });
  const auto slid = [details](const char* segment, const char* section) -> uintptr_t {
    uint64_t address = 0;
    if (!RLZMachOSliceFindSection(details->slice, segment, section, &address)) return 0;
    return static_cast<uintptr_t>(address + static_cast<uint64_t>(details->vmaddrSlide));
  };
  details->node.unwindInfo = slid("__TEXT", "__unwind_info");
  details->node.ehFrame = slid("__TEXT", "__eh_frame");
  details->node.crashInfo = slid("__DATA", "__crash_info");
}

void RLZBinaryImageStoreNode(bool added, const RLZBinaryImageDetails& details) {
  RLZWritableContext* writable = _rlzContext.writable;
  RLZBinaryImageTableStore(RLZIsValidPointer(writable) ? writable->binaryImage.nodes : nullptr, added, &details.node);
}

void RLZBinaryImageRecordSlice(bool added, const RLZBinaryImageDetails& details) {
  recordLine(added, details, platform::dyld::pathForHeader(details.slice.startAddress));
}

bool RLZBinaryImageSafeFindImageForAddress(uintptr_t address, RLZBinaryImageRuntimeNode* outNode) {
  if (!RLZContextIsInitialized()) return false;
  return RLZBinaryImageTableFind(_rlzContext.writable->binaryImage.nodes, address, outNode);
}

bool RLZBinaryImageSafeHasUnwindInfo(const RLZBinaryImageRuntimeNode* node) {
  return RLZIsValidPointer(node) && RLZIsValidPointer(reinterpret_cast<const void*>(node->unwindInfo));
}

bool RLZBinaryImageFindImageForUUID(const char* uuidString, RLZBinaryImageDetails* outDetails) {
  if (!uuidString || !outDetails) {
    RLZSDKLogWarn("null input\n");
    return false;
  }
  for (const auto& image : platform::dyld::images()) {
    RLZBinaryImageDetails details;
    memset(&details, 0, sizeof details);
    details.slice = RLZMachOSliceWithHeader(image.header);
    details.vmaddrSlide = image.slide;
    RLZBinaryImageFillInImageDetails(&details);
    if (strncmp(details.uuidString, uuidString, 33) == 0) {
      *outDetails = details;
      return true;
    }
  }
  return false;
}

bool RLZBinaryImageRecordMainExecutable(RLZFile* file) {
  RLZBinaryImageDetails details;
  memset(&details, 0, sizeof details);
  details.slice = RLZMachOGetMainExecutableHeader();
  if (!details.slice.startAddress) return false;
  for (const auto& image : platform::dyld::images()) {
    if (image.header == details.slice.startAddress) details.vmaddrSlide = image.slide;
  }
  RLZBinaryImageFillInImageDetails(&details);
  RLZFileWriteSectionStart(file, "executable");
  RLZFileWriteHashStart(file);
  RLZFileWriteHashEntryString(file, "architecture", RLZMachOSliceGetArchitectureName(details.slice));
  RLZBinaryImageRecordDetails(file, &details);
  RLZFileWriteHashEntryBoolean(file, "encrypted", details.encrypted);
  RLZFileWriteHashEntryString(file, "minimum_sdk_version", formatVersion(details.minSDK).c_str());
  RLZFileWriteHashEntryString(file, "built_sdk_version", formatVersion(details.builtSDK).c_str());
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
  return true;
}

void RLZBinaryImageRecordDetails(RLZFile* file, const RLZBinaryImageDetails* details) {
  if (!RLZIsValidPointer(file)) {
    RLZSDKLogWarn("Error: file is invalid\n");
    return;
  }
  RLZFileWriteHashEntryString(file, "uuid", details->uuidString);
  RLZFileWriteHashEntryUint64(file, "base", details->node.baseAddress);
  RLZFileWriteHashEntryUint64(file, "size", details->node.size);
}

bool RLZBinaryImageOpenIfNeeded(bool* needsClosing) {
  RLZWritableContext* writable = _rlzContext.writable;
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  if (!RLZIsValidPointer(writable) || !RLZIsValidPointer(readonly)) return false;
  *needsClosing = false;
  if (RLZFileIsOpen(&writable->binaryImage.file)) return true;
  if (!RLZFileInitWithPath(&writable->binaryImage.file, readonly->binaryImage.path, false)) return false;
  *needsClosing = true;
  return true;
}
