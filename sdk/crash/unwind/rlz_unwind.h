// One thread's stack, frame by frame: the image's unwind index first (compact unwind, or the ELF
// eh_frame_hdr), then the frame-pointer chain. Crash-time code: everything on the caller's stack.
#pragma once

#include <cstdint>

#include "sdk/crash/unwind/rlz_compact_unwind.h"
#include "sdk/crash/unwind/rlz_thread_context.h"

inline constexpr uint32_t RLZUnwindMaxFrames = 100000;

struct RLZUnwindContext {
  RLZThreadContext registers;
  uint32_t frameCount;
  RLZCompactUnwindContext compactUnwind;
  uint64_t lastFramePC;
  uint32_t repeatCount;
  // Optional, owned by the caller and shared by the threads it records (null after init).
  RLZUnwindFDECache* fdeCache;
};

bool RLZUnwindInit(RLZUnwindContext* context, const RLZThreadContext* registers);
bool RLZUnwindNextFrame(RLZUnwindContext* context);
uint64_t RLZUnwindGetPC(const RLZUnwindContext* context);
uint32_t RLZUnwindGetFrameRepeatCount(const RLZUnwindContext* context);
bool RLZUnwindContextHasValidPCAndSP(const RLZThreadContext* registers);
uint64_t RLZUnwindStackPointerFromFramePointer(uint64_t framePointer);

bool RLZUnwindWithFramePointer(RLZThreadContext* registers, bool tryLinkRegister);
bool RLZUnwindWithLRRegister(RLZThreadContext* registers);
