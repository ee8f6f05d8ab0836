// Facts of executable images: the slices of a file (fat or thin), their load commands, UUIDs,
// versions and sections. Mach-O is read as the phone lays it out; an ELF image (this machine's
// own) reads as one "x86_64" slice whose load commands are made up from its program headers:
// a UUID from the first 16 bytes of the GNU build ID and a "__TEXT" segment spanning its code.
// Nothing here allocates, so it can run in the loader's image callbacks.
#pragma once

#include <cstddef>
#include <cstdint>

struct RLZMachOFile {
  int fd;
  uint64_t mappedSize;
  const void* mappedFile;
};

struct RLZMachOSlice {
  const void* startAddress;
  int32_t cputype;
  int32_t cpusubtype;
  // Bytes readable from the start; 0 for an image mapped by the loader (its headers are trusted).
  uint64_t size;
};

struct RLZMachOVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t patch;
};

inline constexpr uint32_t RLZMachOCommandSegment = 0x1;
inline constexpr uint32_t RLZMachOCommandLoadDylib = 0xC;
inline constexpr uint32_t RLZMachOCommandSegment64 = 0x19;
inline constexpr uint32_t RLZMachOCommandUUID = 0x1B;
inline constexpr uint32_t RLZMachOCommandEncryptionInfo = 0x21;
inline constexpr uint32_t RLZMachOCommandVersionMinMacOSX = 0x24;
inline constexpr uint32_t RLZMachOCommandVersionMinIPhoneOS = 0x25;
inline constexpr uint32_t RLZMachOCommandEncryptionInfo64 = 0x2C;
inline constexpr uint32_t RLZMachOCommandVersionMinTVOS = 0x2F;
inline constexpr uint32_t RLZMachOCommandVersionMinWatchOS = 0x30;
inline constexpr uint32_t RLZMachOCommandBuildVersion = 0x32;

using RLZMachOSliceCallback = void (*)(void* context, RLZMachOSlice slice);
using RLZMachOLoadCommandCallback = void (*)(void* context, uint32_t cmd, uint32_t cmdsize, const uint8_t* command);

bool RLZMachOFileInitWithPath(RLZMachOFile* file, const char* path);
bool RLZMachOFileInitWithCurrent(RLZMachOFile* file);
void RLZMachOFileDestroy(RLZMachOFile* file);
RLZMachOSlice RLZMachOGetMainExecutableHeader();
const char* RLZMachOSliceGetExecutablePath(RLZMachOSlice slice);

void RLZMachOFileEnumerateSlices(const RLZMachOFile* file, RLZMachOSliceCallback callback, void* context);
// `size` bounds every read (0: an image mapped by the loader).
void RLZMachOEnumerateSlicesAtAddress(const void* address, uint64_t size, RLZMachOSliceCallback callback,
                                      void* context);
const char* RLZMachOSliceGetArchitectureName(RLZMachOSlice slice);
void RLZMachOSliceEnumerateLoadCommands(RLZMachOSlice* slice, RLZMachOLoadCommandCallback callback, void* context);
RLZMachOSlice RLZMachOSliceWithHeader(const void* header);
bool RLZMachOSliceIs64Bit(RLZMachOSlice slice);
// The section's unslid address; false when the slice has no such section. In an ELF image
// "__TEXT"/"__eh_frame" is the unwind table that PT_GNU_EH_FRAME points at.
bool RLZMachOSliceFindSection(RLZMachOSlice slice, const char* segment, const char* section, uint64_t* outAddress);

const uint8_t* RLZMachOGetUUID(const uint8_t* command);
// Null when the name does not lie within the command.
const char* RLZMachOGetDylibPath(const uint8_t* command);
bool RLZMachOGetEncrypted(const uint8_t* command);
RLZMachOVersion RLZMachOGetMinimumOSVersion(const uint8_t* command);
RLZMachOVersion RLZMachOGetLinkedSDKVersion(const uint8_t* command);
RLZMachOVersion RLZMachOVersionFromPacked(uint32_t packed);
// `out` holds 33 characters.
void RLZMachONormalizeUUID(const uint8_t* uuid, char* out);

// Lambda forms of the enumerations.
template <class F>
void RLZMachOEnumerateSlices(const void* address, uint64_t size, F&& f) {
  RLZMachOEnumerateSlicesAtAddress(
      address, size, [](void* c, RLZMachOSlice s) { (*static_cast<F*>(c))(s); }, &f);
}
template <class F>
void RLZMachOEnumerateLoadCommands(RLZMachOSlice* slice, F&& f) {
  RLZMachOSliceEnumerateLoadCommands(
      slice, [](void* c, uint32_t cmd, uint32_t size, const uint8_t* p) { (*static_cast<F*>(c))(cmd, size, p); }, &f);
}
