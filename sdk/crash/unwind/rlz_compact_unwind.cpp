#include "sdk/crash/unwind/rlz_compact_unwind.h"

#include <cstring>

#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_sdk_log.h"
#include "sdk/crash/unwind/rlz_dwarf.h"
#include "sdk/crash/unwind/rlz_unwind.h"

namespace {

constexpr uint32_t kRegularPage = 2;
constexpr uint32_t kCompressedPage = 3;

template <class T>
bool readAt(uint64_t address, T* out) {
  return RLZReadMemory(reinterpret_cast<const void*>(address), out, sizeof *out);
}

}  // namespace

bool RLZDwarfStepWithFDE(uint64_t fde, RLZThreadContext* registers) {
  RLZDwarfCFIRecord record;
  if (!RLZDwarfParseCFIFromFDEAddress(&record, fde)) {
    RLZSDKLogWarn("Unable to init FDE\n");
    return false;
  }
  // An index entry pointing at the wrong FDE would run another function's program.
  const uint64_t pc = RLZThreadContextGetPC(registers);
  if (pc < record.fde.startAddress || pc - record.fde.startAddress >= record.fde.rangeSize) {
    RLZSDKLogInfo("PC does not match computed function range\n");
    return false;
  }
  if (!RLZDwarfUnwindComputeRegisters(&record, registers)) {
    RLZSDKLogWarn("Failed to compute DWARF registers\n");
    return false;
  }
  return true;
}

bool RLZCompactUnwindInit(RLZCompactUnwindContext* context, uint64_t unwindInfo, uint64_t ehFrame,
                          uint64_t loadAddress) {
  if (reinterpret_cast<uintptr_t>(context) < 4096) {
    RLZSDKLogWarn("Error: invalid context passed to compact unwind init\n");
    return false;
  }
  if (unwindInfo < 4096) {
    RLZSDKLogWarn("Error: invalid unwind info passed to compact unwind init\n");
    return false;
  }
  if (loadAddress < 4096) {
    RLZSDKLogWarn("Error: invalid load address passed to compact unwind init\n");
    return false;
  }
  memset(context, 0, sizeof *context);
  context->unwindInfo = unwindInfo;
  context->ehFrame = ehFrame;
  context->loadAddress = loadAddress;
  if (!readAt(unwindInfo, &context->unwindHeader)) {
    RLZSDKLogWarn("Error: could not read memory contents of unwindInfo\n");
    return false;
  }
  if (context->unwindHeader.version != 1) {
    RLZSDKLogWarn("Error: bad unwind_info structure version (%d != %d)\n", context->unwindHeader.version, 1);
    return false;
  }
  return true;
}

bool RLZCompactUnwindLookupAndCompute(RLZCompactUnwindContext* context, RLZThreadContext* registers) {
  const uint64_t pc = RLZThreadContextGetPC(registers);
  if (pc < context->loadAddress) return false;
  RLZCompactUnwindResult result;
  if (!RLZCompactUnwindLookup(context, pc, &result)) {
    RLZSDKLogInfo("Unable to lookup compact unwind for pc %p\n", reinterpret_cast<void*>(pc));
    return false;
  }
  if (!RLZCompactUnwindComputeRegisters(context, &result, registers)) {
    RLZSDKLogWarn("Failed to compute registers\n");
    return false;
  }
  return true;
}

bool RLZCompactUnwindLookup(RLZCompactUnwindContext* context, uint64_t pc, RLZCompactUnwindResult* result) {
  memset(result, 0, sizeof *result);
  if (!RLZCompactUnwindLookupFirstLevel(context, pc)) return false;
  return RLZCompactUnwindLookupSecondLevel(context, pc, result);
}

bool RLZCompactUnwindLookupFirstLevel(RLZCompactUnwindContext* context, uint64_t address) {
  const RLZCompactUnwindHeader& header = context->unwindHeader;
  if (header.indexCount < 2) {
    RLZSDKLogInfo("Unable to find pc in first level\n");
    return false;
  }
  const uint64_t target = address - context->loadAddress;
  const uint64_t index = context->unwindInfo + header.indexSectionOffset;
  uint32_t entry[3];
  if (!readAt(index, &entry)) return false;
  for (uint32_t i = 0; i + 1 < header.indexCount; ++i) {
    uint32_t next[3];
    if (!readAt(index + (i + 1) * 12ull, &next)) return false;
    if (entry[0] <= target && target < next[0]) {
      context->firstLevelEntry.functionOffset = entry[0];
      context->firstLevelEntry.secondLevelPagesSectionOffset = entry[1];
      context->firstLevelEntry.lsdaIndexArraySectionOffset = entry[2];
      context->firstLevelEntry.nextFirstLevelFunctionOffset = next[0];
      return true;
    }
    memcpy(entry, next, sizeof entry);
  }
  RLZSDKLogInfo("Unable to find pc in first level\n");
  return false;
}

bool RLZCompactUnwindLookupSecondLevel(RLZCompactUnwindContext* context, uint64_t pc, RLZCompactUnwindResult* result) {
  const uint64_t page = context->unwindInfo + context->firstLevelEntry.secondLevelPagesSectionOffset;
  uint32_t kind = 0;
  if (!readAt(page, &kind)) return false;
  if (kind == kCompressedPage) return RLZCompactUnwindLookupSecondLevelCompressed(context, pc, page, result);
  if (kind == kRegularPage) {
    RLZSDKLogInfo("Encountered a regular second-level page\n");
    return false;
  }
  RLZSDKLogError("Unrecognized header kind - unable to continue\n");
  return false;
}

bool RLZCompactUnwindBinarySearchSecondLevel(uint64_t address, uint64_t entriesAddress, uint32_t count,
                                             uint32_t* index) {
  if (count == 0) return false;
  // The last entry whose offset is at or below the address; the first entry when none is.
  uint32_t low = 0;
  uint32_t high = count;
  while (high - low > 1) {
    const uint32_t middle = low + (high - low) / 2;
    uint32_t entry = 0;
    if (!readAt(entriesAddress + middle * 4ull, &entry)) return false;
    if ((entry & 0x00FFFFFF) <= address) low = middle;
    else high = middle;
  }
  *index = low;
  return true;
}

bool RLZCompactUnwindLookupSecondLevelCompressed(RLZCompactUnwindContext* context, uint64_t pc, uint64_t page,
                                                 RLZCompactUnwindResult* result) {
  uint16_t fields[4];  // entryPageOffset, entryCount, encodingsPageOffset, encodingsCount
  if (!readAt(page + 4, &fields)) return false;
  const uint64_t base = context->loadAddress + context->firstLevelEntry.functionOffset;
  uint64_t target = 0;
  if (pc <= base) RLZSDKLogWarn("Error: PC is invalid\n");
  else target = pc - base;
  const uint64_t entries = page + fields[0];
  uint32_t index = 0;
  if (!RLZCompactUnwindBinarySearchSecondLevel(target, entries, fields[1], &index)) {
    RLZSDKLogInfo("Unable to find PC in second level\n");
    return false;
  }
  uint32_t entry = 0;
  if (!readAt(entries + index * 4ull, &entry)) return false;
  result->functionStart = base + (entry & 0x00FFFFFF);
  if (index + 1 < fields[1]) {
    uint32_t next = 0;
    if (!readAt(entries + (index + 1) * 4ull, &next)) return false;
    result->functionEnd = base + (next & 0x00FFFFFF);
  } else {
    result->functionEnd = context->loadAddress + context->firstLevelEntry.nextFirstLevelFunctionOffset;
  }
  if (!(result->functionStart <= pc && pc < result->functionEnd)) {
    RLZSDKLogInfo("PC does not match computed function range\n");
    return false;
  }
  const uint32_t encodingIndex = entry >> 24;
  const uint32_t commonCount = context->unwindHeader.commonEncodingsArrayCount;
  const uint64_t encodingAddress =
      encodingIndex < commonCount
          ? context->unwindInfo + context->unwindHeader.commonEncodingsArraySectionOffset + encodingIndex * 4ull
          : page + fields[2] + (encodingIndex - commonCount) * 4ull;
  if (!readAt(encodingAddress, &result->encoding)) return false;
  if (result->encoding == 0) {
    RLZSDKLogInfo("Entry has has no unwind info\n");
    return false;
  }
  return true;
}

bool RLZCompactUnwindComputeRegisters(RLZCompactUnwindContext* context, RLZCompactUnwindResult* result,
                                      RLZThreadContext* registers) {
  switch (result->encoding & RLZCompactUnwindModeMask) {
    case RLZCompactUnwindModeFrame: return RLZUnwindWithFramePointer(registers, false);
    case RLZCompactUnwindModeDwarf: return RLZCompactUnwindDwarfFrame(context, result->encoding & 0x00FFFFFF, registers);
    case RLZCompactUnwindModeFrameless: return RLZUnwindWithLRRegister(registers);
    default: RLZSDKLogWarn("Invalid encoding 0x%x\n", result->encoding); return false;
  }
}

bool RLZCompactUnwindDwarfFrame(RLZCompactUnwindContext* context, uint32_t fdeOffset, RLZThreadContext* registers) {
  if (context->ehFrame < 4096) {
    RLZSDKLogWarn("Unable to init FDE\n");
    return false;
  }
  return RLZDwarfStepWithFDE(context->ehFrame + fdeOffset, registers);
}

uint64_t RLZEhFrameHeaderFindFDE(uint64_t header, uint64_t pc) {
  // version, eh_frame_ptr encoding, fde_count encoding, table encoding
  uint8_t head[4];
  if (!readAt(header, &head) || head[0] != 1) {
    RLZSDKLogWarn("Error: unusable eh_frame_hdr at %p\n", reinterpret_cast<void*>(header));
    return 0;
  }
  // The linker always writes the count as udata4 and the table as data-relative sdata4 pairs;
  // anything else is not a table this lookup can search.
  uint8_t words[16];
  if (head[2] != 0x03 || head[3] != 0x3B || !RLZReadMemory(reinterpret_cast<const void*>(header + 4), words, 8)) {
    RLZSDKLogWarn("Error: unsupported eh_frame_hdr encodings 0x%x 0x%x\n", head[2], head[3]);
    return 0;
  }
  // The eh_frame pointer before the count: 4 bytes for every encoding the linker uses.
  uint32_t count = 0;
  memcpy(&count, words + 4, sizeof count);
  const uint64_t table = header + 12;
  uint32_t low = 0;
  uint32_t high = count;
  bool found = false;
  int32_t pair[2] = {0, 0};
  // Each read is a system call: the search reads one entry per step until the range fits a
  // window, then the whole window at once and finishes in it.
  constexpr uint32_t kWindow = 256;
  int32_t window[kWindow][2];
  while (low < high) {
    if (high - low <= kWindow) {
      if (!RLZReadMemory(reinterpret_cast<const void*>(table + low * 8ull), window, (high - low) * 8ull)) return 0;
      for (uint32_t i = 0; i < high - low && header + static_cast<uint64_t>(static_cast<int64_t>(window[i][0])) <= pc;
           ++i) {
        memcpy(pair, window[i], sizeof pair);
        found = true;
      }
      break;
    }
    const uint32_t middle = low + (high - low) / 2;
    int32_t entry[2];
    if (!readAt(table + middle * 8ull, &entry)) return 0;
    if (header + static_cast<uint64_t>(static_cast<int64_t>(entry[0])) <= pc) {
      memcpy(pair, entry, sizeof pair);
      found = true;
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (!found) return 0;
  return header + static_cast<uint64_t>(static_cast<int64_t>(pair[1]));
}

bool RLZEhFrameHeaderLookupAndCompute(uint64_t header, RLZThreadContext* registers, RLZUnwindFDECache* cache) {
  const uint64_t pc = RLZThreadContextGetPC(registers);
  const uint32_t slot = static_cast<uint32_t>((pc ^ (pc >> 12)) % RLZUnwindFDECache::kSlots);
  uint64_t fde = 0;
  if (cache && cache->pcs[slot] == pc) {
    fde = cache->fdes[slot];
  } else {
    fde = RLZEhFrameHeaderFindFDE(header, pc);
    if (cache && fde != 0) {
      cache->pcs[slot] = pc;
      cache->fdes[slot] = fde;
    }
  }
  if (fde == 0) {
    RLZSDKLogInfo("Unable to find an FDE for pc %p\n", reinterpret_cast<void*>(pc));
    return false;
  }
  return RLZDwarfStepWithFDE(fde, registers);
}
