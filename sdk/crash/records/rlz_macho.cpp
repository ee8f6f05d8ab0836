#include "sdk/crash/records/rlz_macho.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/dyld/dyld.h"
#include "platform/mach/arch_info.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_defines.h"

namespace {

constexpr uint32_t kMagic32 = 0xFEEDFACE;
constexpr uint32_t kMagic64 = 0xFEEDFACF;
constexpr uint32_t kCigam32 = 0xCEFAEDFE;
constexpr uint32_t kCigam64 = 0xCFFAEDFE;
constexpr uint32_t kFatMagic = 0xCAFEBABE;
constexpr uint32_t kFatCigam = 0xBEBAFECA;
constexpr uint8_t kElfMagic[4] = {0x7F, 'E', 'L', 'F'};

constexpr uint32_t kElfLoad = 1;
constexpr uint32_t kElfNote = 4;
constexpr uint32_t kElfGnuEhFrame = 0x6474E550;
constexpr uint32_t kElfExecutable = 1;
constexpr uint32_t kNoteGnuBuildId = 3;
constexpr size_t kElfProgramHeaderSize = 56;

template <class T>
T load(const uint8_t* at) {
  T value;
  memcpy(&value, at, sizeof value);
  return value;
}

uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }

// Whether `length` bytes at `offset` lie inside the slice (always, for a loader-mapped image).
bool within(const RLZMachOSlice& slice, uint64_t offset, uint64_t length) {
  return slice.size == 0 || (offset <= slice.size && length <= slice.size - offset);
}

bool isElf(const RLZMachOSlice& slice) {
  const auto* p = static_cast<const uint8_t*>(slice.startAddress);
  return within(slice, 0, 64) && memcmp(p, kElfMagic, 4) == 0 && p[4] == 2 /* 64-bit */ && p[5] == 1 /* LE */;
}

struct ElfProgramHeader {
  uint32_t type;
  uint32_t flags;
  uint64_t offset;
  uint64_t vaddr;
  uint64_t filesz;
  uint64_t memsz;
};

template <class F>
void forEachProgramHeader(const RLZMachOSlice& slice, F&& f) {
  const auto* base = static_cast<const uint8_t*>(slice.startAddress);
  const uint64_t phoff = load<uint64_t>(base + 32);
  const uint16_t phentsize = load<uint16_t>(base + 54);
  const uint16_t phnum = load<uint16_t>(base + 56);
  if (phentsize < kElfProgramHeaderSize) return;
  for (uint16_t i = 0; i < phnum; ++i) {
    const uint64_t at = phoff + uint64_t{i} * phentsize;
    if (at < phoff || !within(slice, at, kElfProgramHeaderSize)) return;
    const uint8_t* ph = base + at;
    f(ElfProgramHeader{load<uint32_t>(ph), load<uint32_t>(ph + 4), load<uint64_t>(ph + 8), load<uint64_t>(ph + 16),
                       load<uint64_t>(ph + 32), load<uint64_t>(ph + 40)});
  }
}

struct ElfFacts {
  bool haveFirstLoad = false;
  uint64_t firstLoadVaddr = 0;
  uint64_t codeEnd = 0;
  uint64_t ehFrameHdr = 0;
  uint8_t uuid[16] = {};
  bool haveUUID = false;
};

// Where a segment's bytes start, from the slice start: the file offset in a file, the distance
// from the first loaded address in memory.
uint64_t segmentStart(const RLZMachOSlice& slice, const ElfFacts& facts, const ElfProgramHeader& ph) {
  return slice.size ? ph.offset : ph.vaddr - facts.firstLoadVaddr;
}

void readBuildId(const RLZMachOSlice& slice, uint64_t start, uint64_t length, ElfFacts* facts) {
  const auto* base = static_cast<const uint8_t*>(slice.startAddress);
  uint64_t at = start;
  const uint64_t end = start + length;
  while (at + 12 <= end && within(slice, at, 12)) {
    const uint32_t nameSize = load<uint32_t>(base + at);
    const uint32_t descSize = load<uint32_t>(base + at + 4);
    const uint32_t type = load<uint32_t>(base + at + 8);
    const uint64_t name = at + 12;
    const uint64_t desc = name + ((uint64_t{nameSize} + 3) & ~uint64_t{3});
    const uint64_t next = desc + ((uint64_t{descSize} + 3) & ~uint64_t{3});
    if (next > end || !within(slice, name, next - name)) return;
    if (type == kNoteGnuBuildId && nameSize == 4 && memcmp(base + name, "GNU", 4) == 0 && descSize > 0) {
      memcpy(facts->uuid, base + desc, descSize < 16 ? descSize : 16);
      facts->haveUUID = true;
      return;
    }
    at = next;
  }
}

ElfFacts elfFacts(const RLZMachOSlice& slice) {
  ElfFacts facts;
  forEachProgramHeader(slice, [&](const ElfProgramHeader& ph) {
    if (ph.type == kElfLoad && !facts.haveFirstLoad) {
      facts.haveFirstLoad = true;
      facts.firstLoadVaddr = ph.vaddr;
    }
  });
  forEachProgramHeader(slice, [&](const ElfProgramHeader& ph) {
    if (ph.type == kElfLoad && (ph.flags & kElfExecutable) && ph.vaddr + ph.memsz > facts.codeEnd) {
      facts.codeEnd = ph.vaddr + ph.memsz;
    }
    if (ph.type == kElfGnuEhFrame) facts.ehFrameHdr = ph.vaddr;
    if (ph.type == kElfNote && !facts.haveUUID && facts.haveFirstLoad) {
      readBuildId(slice, segmentStart(slice, facts, ph), slice.size ? ph.filesz : ph.memsz, &facts);
    }
  });
  return facts;
}

void enumerateElfCommands(RLZMachOSlice* slice, RLZMachOLoadCommandCallback callback, void* context) {
  slice->cputype = platform::mach::kCPUTypeX86_64;
  slice->cpusubtype = platform::mach::kCPUSubtypeX86_64All;
  const ElfFacts facts = elfFacts(*slice);
  if (facts.haveUUID) {
    uint8_t command[24] = {};
    const uint32_t header[2] = {RLZMachOCommandUUID, sizeof command};
    memcpy(command, header, sizeof header);
    memcpy(command + 8, facts.uuid, 16);
    callback(context, RLZMachOCommandUUID, sizeof command, command);
  }
  if (facts.haveFirstLoad && facts.codeEnd > facts.firstLoadVaddr) {
    uint8_t command[72] = {};
    const uint32_t header[2] = {RLZMachOCommandSegment64, sizeof command};
    memcpy(command, header, sizeof header);
    memcpy(command + 8, "__TEXT", 6);
    const uint64_t vm[2] = {facts.firstLoadVaddr, facts.codeEnd - facts.firstLoadVaddr};
    memcpy(command + 24, vm, sizeof vm);
    callback(context, RLZMachOCommandSegment64, sizeof command, command);
  }
}

uint32_t headerMagic(const RLZMachOSlice& slice) {
  if (!RLZIsValidPointer(slice.startAddress) || !within(slice, 0, 4)) return 0;
  return load<uint32_t>(static_cast<const uint8_t*>(slice.startAddress));
}

bool isMachO(uint32_t magic) { return magic == kMagic32 || magic == kMagic64 || magic == kCigam32 || magic == kCigam64; }

uint32_t headerWord(const RLZMachOSlice& slice, uint32_t magic, size_t offset) {
  const uint32_t word = load<uint32_t>(static_cast<const uint8_t*>(slice.startAddress) + offset);
  return (magic == kCigam32 || magic == kCigam64) ? swap32(word) : word;
}

bool nameIs(const uint8_t* field, const char* name) {
  char copy[17] = {};
  memcpy(copy, field, 16);
  return strcmp(copy, name) == 0;
}

}  // namespace

bool RLZMachOFileInitWithPath(RLZMachOFile* file, const char* path) {
  if (!RLZIsValidPointer(file)) return false;
  memset(file, 0, sizeof *file);
  file->fd = -1;
  if (!RLZIsValidPointer(path)) return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 16) {
    close(fd);
    return false;
  }
  void* mapping = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) {
    close(fd);
    return false;
  }
  file->fd = fd;
  file->mappedSize = static_cast<uint64_t>(info.st_size);
  file->mappedFile = mapping;
  return true;
}

bool RLZMachOFileInitWithCurrent(RLZMachOFile* file) {
  const char* path = RLZMachOSliceGetExecutablePath(RLZMachOGetMainExecutableHeader());
  if (!path) return false;
  return RLZMachOFileInitWithPath(file, path);
}

void RLZMachOFileDestroy(RLZMachOFile* file) {
  if (!RLZIsValidPointer(file)) return;
  if (file->mappedFile && file->mappedSize > 0) munmap(const_cast<void*>(file->mappedFile), file->mappedSize);
  if (file->fd >= 0) close(file->fd);
  file->mappedFile = nullptr;
  file->mappedSize = 0;
  file->fd = -1;
}

RLZMachOSlice RLZMachOGetMainExecutableHeader() {
  RLZMachOSlice slice{platform::dyld::mainExecutableHeader(), 0, 0, 0};
  platform::mach::localArchInfo(&slice.cputype, &slice.cpusubtype);
  return slice;
}

const char* RLZMachOSliceGetExecutablePath(RLZMachOSlice slice) {
  Dl_info info{};
  if (!slice.startAddress || dladdr(slice.startAddress, &info) == 0) return nullptr;
  if (info.dli_fbase == platform::dyld::mainExecutableHeader()) {
    // The loader names the main program by how it was started; the kernel knows its real path.
    static char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return nullptr;
    path[length] = 0;
    return path;
  }
  return info.dli_fname;
}

void RLZMachOFileEnumerateSlices(const RLZMachOFile* file, RLZMachOSliceCallback callback, void* context) {
  if (!RLZIsValidPointer(file) || !file->mappedFile) return;
  RLZMachOEnumerateSlicesAtAddress(file->mappedFile, file->mappedSize, callback, context);
}

void RLZMachOEnumerateSlicesAtAddress(const void* address, uint64_t size, RLZMachOSliceCallback callback,
                                      void* context) {
  if (!RLZIsValidPointer(address)) return;
  RLZMachOSlice whole{address, 0, 0, size};
  const uint32_t magic = headerMagic(whole);
  if (magic == kFatMagic || magic == kFatCigam) {
    if (!within(whole, 0, 8)) return;
    const auto* base = static_cast<const uint8_t*>(address);
    const uint32_t count = swap32(load<uint32_t>(base + 4));
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t entry = 8 + uint64_t{i} * 20;
      if (!within(whole, entry, 20)) return;
      const uint32_t offset = swap32(load<uint32_t>(base + entry + 8));
      const uint32_t length = swap32(load<uint32_t>(base + entry + 12));
      if (!within(whole, offset, length)) continue;
      RLZMachOSlice slice{base + offset, static_cast<int32_t>(swap32(load<uint32_t>(base + entry))),
                          static_cast<int32_t>(swap32(load<uint32_t>(base + entry + 4))), length};
      if (size == 0) slice.size = 0;
      callback(context, slice);
    }
    return;
  }
  if (isMachO(magic) && within(whole, 0, 12)) {
    whole.cputype = static_cast<int32_t>(headerWord(whole, magic, 4));
    whole.cpusubtype = static_cast<int32_t>(headerWord(whole, magic, 8));
  } else if (isElf(whole)) {
    whole.cputype = platform::mach::kCPUTypeX86_64;
    whole.cpusubtype = platform::mach::kCPUSubtypeX86_64All;
  }
  callback(context, whole);
}

const char* RLZMachOSliceGetArchitectureName(RLZMachOSlice slice) {
  if (slice.cputype == platform::mach::kCPUTypeARM) {
    if (slice.cpusubtype == 11) return "armv7s";
    if (slice.cpusubtype == 12) return "armv7k";
  } else if (slice.cputype == platform::mach::kCPUTypeARM64) {
    if (slice.cpusubtype == 2) return "arm64e";
    if (slice.cpusubtype == 0) return "arm64";
  }
  const char* name = platform::mach::archInfoName(slice.cputype, slice.cpusubtype);
  return name ? name : "unknown";
}

void RLZMachOSliceEnumerateLoadCommands(RLZMachOSlice* slice, RLZMachOLoadCommandCallback callback, void* context) {
  if (!RLZIsValidPointer(slice) || !callback) return;
  const uint32_t magic = headerMagic(*slice);
  if (!isMachO(magic)) {
    if (magic != 0 && isElf(*slice)) enumerateElfCommands(slice, callback, context);
    return;
  }
  const size_t headerSize = (magic == kMagic32 || magic == kCigam32) ? 28 : 32;
  if (!within(*slice, 0, headerSize)) return;
  slice->cputype = static_cast<int32_t>(headerWord(*slice, magic, 4));
  slice->cpusubtype = static_cast<int32_t>(headerWord(*slice, magic, 8));
  const uint32_t count = headerWord(*slice, magic, 16);
  const auto* base = static_cast<const uint8_t*>(slice->startAddress);
  uint64_t at = headerSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (!within(*slice, at, 8)) return;
    const uint32_t cmd = load<uint32_t>(base + at);
    const uint32_t cmdsize = load<uint32_t>(base + at + 4);
    // A command shorter than its own header would never advance, or reach past the slice.
    if (cmdsize < 8 || !within(*slice, at, cmdsize)) return;
    callback(context, cmd, cmdsize, base + at);
    at += cmdsize;
  }
}

RLZMachOSlice RLZMachOSliceWithHeader(const void* header) { return RLZMachOSlice{header, 0, 0, 0}; }

bool RLZMachOSliceIs64Bit(RLZMachOSlice slice) { return (slice.cputype & platform::mach::kCPUArchABI64) != 0; }

bool RLZMachOSliceFindSection(RLZMachOSlice slice, const char* segment, const char* section, uint64_t* outAddress) {
  if (!RLZIsValidPointer(outAddress)) return false;
  if (isElf(slice)) {
    if (strcmp(segment, "__TEXT") != 0 || strcmp(section, "__eh_frame") != 0) return false;
    const ElfFacts facts = elfFacts(slice);
    if (facts.ehFrameHdr == 0) return false;
    *outAddress = facts.ehFrameHdr;
    return true;
  }
  struct Search {
    const char* segment;
    const char* section;
    uint64_t address;
    bool found;
  } search{segment, section, 0, false};
  RLZMachOSliceEnumerateLoadCommands(
      &slice,
      [](void* c, uint32_t cmd, uint32_t cmdsize, const uint8_t* command) {
        auto* s = static_cast<Search*>(c);
        const bool is64 = cmd == RLZMachOCommandSegment64;
        if (s->found || (!is64 && cmd != RLZMachOCommandSegment)) return;
        const uint32_t headerSize = is64 ? 72 : 56;
        const uint32_t sectionSize = is64 ? 80 : 68;
        if (cmdsize < headerSize || !nameIs(command + 8, s->segment)) return;
        const uint32_t count = load<uint32_t>(command + (is64 ? 64 : 48));
        for (uint32_t i = 0; i < count; ++i) {
          const uint64_t at = headerSize + uint64_t{i} * sectionSize;
          if (at + sectionSize > cmdsize) return;
          const uint8_t* entry = command + at;
          if (!nameIs(entry, s->section)) continue;
          s->address = is64 ? load<uint64_t>(entry + 32) : load<uint32_t>(entry + 32);
          s->found = true;
          return;
        }
      },
      &search);
  if (search.found) *outAddress = search.address;
  return search.found;
}

const uint8_t* RLZMachOGetUUID(const uint8_t* command) { return command + 8; }

const char* RLZMachOGetDylibPath(const uint8_t* command) {
  const uint32_t cmdsize = load<uint32_t>(command + 4);
  const uint32_t offset = cmdsize >= 12 ? load<uint32_t>(command + 8) : 0;
  if (offset < 12 || offset >= cmdsize) return nullptr;
  const char* name = reinterpret_cast<const char*>(command + offset);
  return memchr(name, 0, cmdsize - offset) ? name : nullptr;
}

bool RLZMachOGetEncrypted(const uint8_t* command) {
  return load<uint32_t>(command + 4) >= 20 && load<uint32_t>(command + 16) != 0;
}

RLZMachOVersion RLZMachOVersionFromPacked(uint32_t packed) {
  return RLZMachOVersion{packed >> 16, (packed >> 8) & 0xFF, packed & 0xFF};
}

RLZMachOVersion RLZMachOGetMinimumOSVersion(const uint8_t* command) {
  return RLZMachOVersionFromPacked(load<uint32_t>(command + 8));
}

RLZMachOVersion RLZMachOGetLinkedSDKVersion(const uint8_t* command) {
  return RLZMachOVersionFromPacked(load<uint32_t>(command + 12));
}

void RLZMachONormalizeUUID(const uint8_t* uuid, char* out) { RLZUUIDBytesToString(uuid, out); }
