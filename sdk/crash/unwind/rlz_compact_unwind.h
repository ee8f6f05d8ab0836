// The per-image unwind index: the phone's compact-unwind table ("__unwind_info", arm64), and in
// the same place for this machine's ELF images the ".eh_frame_hdr" binary-search table. Both
// lead to a DWARF frame (rlz_dwarf) or a frame-pointer step (rlz_unwind).
#pragma once

#include <cstdint>

#include "sdk/crash/unwind/rlz_thread_context.h"

struct RLZCompactUnwindHeader {
  uint32_t version;
  uint32_t commonEncodingsArraySectionOffset;
  uint32_t commonEncodingsArrayCount;
  uint32_t personalityArraySectionOffset;
  uint32_t personalityArrayCount;
  uint32_t indexSectionOffset;
  uint32_t indexCount;
};
static_assert(sizeof(RLZCompactUnwindHeader) == 28);

struct RLZCompactUnwindContext {
  uint64_t unwindInfo;
  uint64_t ehFrame;
  uint64_t loadAddress;
  RLZCompactUnwindHeader unwindHeader;
  struct {
    uint32_t functionOffset;
    uint32_t secondLevelPagesSectionOffset;
    uint32_t lsdaIndexArraySectionOffset;
    uint32_t nextFirstLevelFunctionOffset;
  } firstLevelEntry;
};

struct RLZCompactUnwindResult {
  uint32_t encoding;
  uint64_t functionStart;
  uint64_t functionEnd;
};

inline constexpr uint32_t RLZCompactUnwindModeMask = 0x0F000000;
inline constexpr uint32_t RLZCompactUnwindModeFrameless = 0x02000000;
inline constexpr uint32_t RLZCompactUnwindModeDwarf = 0x03000000;
inline constexpr uint32_t RLZCompactUnwindModeFrame = 0x04000000;

bool RLZCompactUnwindInit(RLZCompactUnwindContext* context, uint64_t unwindInfo, uint64_t ehFrame,
                          uint64_t loadAddress);
bool RLZCompactUnwindLookupAndCompute(RLZCompactUnwindContext* context, RLZThreadContext* registers);
bool RLZCompactUnwindLookup(RLZCompactUnwindContext* context, uint64_t pc, RLZCompactUnwindResult* result);
bool RLZCompactUnwindLookupFirstLevel(RLZCompactUnwindContext* context, uint64_t address);
bool RLZCompactUnwindLookupSecondLevel(RLZCompactUnwindContext* context, uint64_t pc, RLZCompactUnwindResult* result);
bool RLZCompactUnwindLookupSecondLevelCompressed(RLZCompactUnwindContext* context, uint64_t pc, uint64_t pageAddress,
                                                 RLZCompactUnwindResult* result);
bool RLZCompactUnwindBinarySearchSecondLevel(uint64_t address, uint64_t entriesAddress, uint32_t count,
                                             uint32_t* index);
bool RLZCompactUnwindComputeRegisters(RLZCompactUnwindContext* context, RLZCompactUnwindResult* result,
                                      RLZThreadContext* registers);
bool RLZCompactUnwindDwarfFrame(RLZCompactUnwindContext* context, uint32_t fdeOffset, RLZThreadContext* registers);

// Both indexes end here: the FDE at `fde` (a live address) and its CIE parsed, checked to cover
// the PC, then one DWARF step.
bool RLZDwarfStepWithFDE(uint64_t fde, RLZThreadContext* registers);

// The FDEs found for PCs, kept by the recorder across the threads of one recording: idle threads
// share most of their frames, and each table search costs a dozen crash-safe reads. Zero it
// before use; a slot holds the last PC that hashed to it.
struct RLZUnwindFDECache {
  static constexpr uint32_t kSlots = 128;
  uint64_t pcs[kSlots];
  uint64_t fdes[kSlots];
};

// ELF: the FDE covering `pc` through the ".eh_frame_hdr" table at `ehFrameHeader`, then one DWARF
// step. False when the table has no entry for the PC or the step fails.
bool RLZEhFrameHeaderLookupAndCompute(uint64_t ehFrameHeader, RLZThreadContext* registers,
                                      RLZUnwindFDECache* cache = nullptr);
// The FDE address for `pc`, or 0.
uint64_t RLZEhFrameHeaderFindFDE(uint64_t ehFrameHeader, uint64_t pc);

