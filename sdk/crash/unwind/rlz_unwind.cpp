#include "sdk/crash/unwind/rlz_unwind.h"

#include <cstring>

#include "sdk/crash/context/rlz_binary_image.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

constexpr uint8_t kElfMagic[4] = {0x7F, 'E', 'L', 'F'};

bool isElfImage(uintptr_t base) {
  uint8_t magic[4];
  return RLZReadMemory(reinterpret_cast<const void*>(base), magic, sizeof magic) && memcmp(magic, kElfMagic, 4) == 0;
}

// Steps 5 and 6: the image's own unwind index.
bool stepWithImageIndex(RLZUnwindContext* context) {
  const uint64_t pc = RLZThreadContextGetPC(&context->registers);
  RLZBinaryImageRuntimeNode image;
  if (!RLZBinaryImageSafeFindImageForAddress(pc, &image)) {
    RLZSDKLogInfo("Unable to find binary for %p\n", reinterpret_cast<void*>(pc));
    return false;
  }
  if (!RLZBinaryImageSafeHasUnwindInfo(&image)) {
    // This machine's images carry an eh_frame_hdr table where the phone's carry __unwind_info.
    if (image.ehFrame >= 4096 && isElfImage(image.baseAddress)) {
      return RLZEhFrameHeaderLookupAndCompute(image.ehFrame, &context->registers, context->fdeCache);
    }
    RLZSDKLogInfo("Binary image at %p has no unwind info\n", reinterpret_cast<void*>(image.baseAddress));
    return false;
  }
  if (!RLZCompactUnwindInit(&context->compactUnwind, image.unwindInfo, image.ehFrame, image.baseAddress)) {
    RLZSDKLogWarn("Unable to read unwind info\n");
    return false;
  }
  return RLZCompactUnwindLookupAndCompute(&context->compactUnwind, &context->registers);
}

}  // namespace

bool RLZUnwindInit(RLZUnwindContext* context, const RLZThreadContext* registers) {
  if (reinterpret_cast<uintptr_t>(context) < 4096) return false;
  memset(context, 0, sizeof *context);
  if (registers) context->registers = *registers;
  return true;
}

bool RLZUnwindContextHasValidPCAndSP(const RLZThreadContext* registers) {
  return RLZThreadContextGetPC(registers) >= 4096 && RLZThreadContextGetStackPointer(registers) >= 4096;
}

uint64_t RLZUnwindStackPointerFromFramePointer(uint64_t framePointer) { return framePointer + 16; }

uint64_t RLZUnwindGetPC(const RLZUnwindContext* context) {
  if (reinterpret_cast<uintptr_t>(context) < 4096) return 0;
  return RLZThreadContextGetPC(&context->registers);
}

uint32_t RLZUnwindGetFrameRepeatCount(const RLZUnwindContext* context) {
  if (reinterpret_cast<uintptr_t>(context) < 4096) return 0;
  return context->repeatCount;
}

bool RLZUnwindWithLRRegister(RLZThreadContext* registers) {
  const uint64_t lr = RLZThreadContextGetLinkRegister(registers);
  if (lr < 4096) {
    RLZSDKLogWarn("Error: LR value is invalid\n");
    return false;
  }
  return RLZThreadContextSetPC(registers, lr);
}

bool RLZUnwindWithFramePointer(RLZThreadContext* registers, bool tryLinkRegister) {
  if (tryLinkRegister) {
    if (RLZUnwindWithLRRegister(registers)) return true;
    RLZSDKLogInfo("Unable to use LR, skipping\n");
  }
  const uint64_t fp = RLZThreadContextGetFramePointer(registers);
  uint64_t record[2];
  if (!RLZReadMemory(reinterpret_cast<const void*>(fp), record, sizeof record)) {
    RLZSDKLogWarn("Error: failed to read memory at address %p\n", reinterpret_cast<void*>(fp));
    return false;
  }
  RLZThreadContextSetPC(registers, record[1]);
  RLZThreadContextSetFramePointer(registers, record[0]);
  RLZThreadContextSetStackPointer(registers, RLZUnwindStackPointerFromFramePointer(fp));
  return true;
}

bool RLZUnwindNextFrame(RLZUnwindContext* context) {
  if (reinterpret_cast<uintptr_t>(context) < 4096) {
    RLZSDKLogError("Error: invalid inputs\n");
    return false;
  }
  RLZThreadContext* registers = &context->registers;
  if (!RLZUnwindContextHasValidPCAndSP(registers)) {
    if (context->frameCount == 0) RLZSDKLogInfo("Cancelling unwind for thread with invalid PC/SP\n");
    else RLZSDKLogError("Error: thread PC/SP invalid before unwind\n");
    return false;
  }
  if (context->frameCount >= RLZUnwindMaxFrames) {
    RLZSDKLogWarn("Exceeded maximum number of frames\n");
    RLZSDKLogError("Failed to advance to the next frame\n");
    return false;
  }
  if (context->frameCount > 0) {
    const RLZArchitectureTraits* traits = RLZArchitectureGetTraits(registers->architecture);
    // A return address lies just past the call: one byte back keeps the lookup inside the
    // caller's function. The first frame of this machine's threads is the interrupted
    // instruction itself, which is looked up as it is.
    const bool adjust = context->frameCount > 1 || traits->lrSlot != RLZNoSlot;
    if (adjust && !RLZThreadContextSetPC(registers, RLZThreadContextGetPC(registers) - 1)) {
      RLZSDKLogError("Unable to set PC\n");
      RLZSDKLogError("Failed to advance to the next frame\n");
      return false;
    }
    if (RLZThreadContextGetPC(registers) < 4096) {
      RLZSDKLogError("PC is invalid\n");
      RLZSDKLogError("Failed to advance to the next frame\n");
      return false;
    }
    if (!stepWithImageIndex(context)) {
      if (RLZThreadContextGetFramePointer(registers) == 0) {
        RLZSDKLogInfo("FP is zero, aborting unwind\n");
        RLZThreadContextSetPC(registers, 0);
      } else if (!RLZUnwindWithFramePointer(registers, context->frameCount == 1 && traits->lrSlot != RLZNoSlot)) {
        RLZSDKLogError("Unable to use frame pointer\n");
        RLZSDKLogError("Failed to advance to the next frame\n");
        return false;
      }
    }
  }
  const uint64_t pc = RLZThreadContextGetPC(registers);
  const uint64_t sp = RLZThreadContextGetStackPointer(registers);
  if (pc < 4096) return false;
  if (sp < 4096) {
    RLZSDKLogError("Error: SP (%p) isn't a valid pointer\n", reinterpret_cast<void*>(sp));
    return false;
  }
  context->repeatCount = pc == context->lastFramePC ? context->repeatCount + 1 : 0;
  context->frameCount += 1;
  context->lastFramePC = pc;
  return true;
}
