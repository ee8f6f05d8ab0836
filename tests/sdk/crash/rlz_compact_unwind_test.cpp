// The arm64 compact-unwind path, stepped through a linked Mach-O image (one function per mode:
// frameless, frame record, DWARF) on synthetic stacks. Addresses keep only 36 bits on arm64, so
// the image and the stacks are mapped low.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <string>

#include "crash_test_support.h"
#include "sdk/crash/unwind/rlz_compact_unwind.h"
#include "sdk/crash/unwind/rlz_thread_context.h"

namespace {

constexpr uint64_t kFrameless = 0x4000, kFramed = 0x4004, kDwarf = 0x4018, kTextEnd = 0x4034;
constexpr uint32_t kX9 = 9, kFP = 29, kLR = 30, kSP = 31, kPC = 32;

struct Section {
  uint64_t fileOffset = 0;
  uint64_t size = 0;
};

// The file offset of a __TEXT section, read from the fixture's load commands.
Section findSection(const std::string& file, const char* name) {
  uint32_t count = 0;
  memcpy(&count, file.data() + 16, 4);
  size_t at = 32;
  for (uint32_t i = 0; i < count && at + 8 <= file.size(); ++i) {
    uint32_t cmd = 0, size = 0;
    memcpy(&cmd, file.data() + at, 4);
    memcpy(&size, file.data() + at + 4, 4);
    if (cmd == 0x19) {
      uint32_t sections = 0;
      memcpy(&sections, file.data() + at + 64, 4);
      for (uint32_t s = 0; s < sections; ++s) {
        const char* entry = file.data() + at + 72 + 80 * s;
        if (strncmp(entry, name, 16) != 0) continue;
        Section found;
        memcpy(&found.size, entry + 40, 8);
        uint32_t offset = 0;
        memcpy(&offset, entry + 48, 4);
        found.fileOffset = offset;
        return found;
      }
    }
    at += size;
  }
  return {};
}

class CompactUnwindTest : public ::testing::Test {
 protected:
  static constexpr size_t kMapSize = 1 << 20;

  void SetUp() override {
    const std::string file =
        crash_test::readFile(std::string(std::getenv("FOCUS_SOURCE_DIR")) + "/tests/fixtures/macho/arm64_unwind_modes");
    ASSERT_GT(file.size(), 0x6000u);
    ASSERT_LT(file.size(), kMapSize / 2);
    for (uintptr_t hint = 0x10000000; hint < 0x70000000 && !map_; hint += 0x10000000) {
      void* at = mmap(reinterpret_cast<void*>(hint), kMapSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
      if (at == reinterpret_cast<void*>(hint)) map_ = static_cast<uint8_t*>(at);
      else if (at != MAP_FAILED) munmap(at, kMapSize);
    }
    if (!map_) GTEST_SKIP() << "no free address range below 36 bits";
    memcpy(map_, file.data(), file.size());
    base_ = reinterpret_cast<uint64_t>(map_);
    stack_ = reinterpret_cast<uint64_t*>(map_ + kMapSize / 2);
    const Section unwindInfo = findSection(file, "__unwind_info");
    const Section ehFrame = findSection(file, "__eh_frame");
    ASSERT_NE(unwindInfo.fileOffset, 0u);
    ASSERT_NE(ehFrame.fileOffset, 0u);
    ASSERT_TRUE(RLZCompactUnwindInit(&context_, base_ + unwindInfo.fileOffset, base_ + ehFrame.fileOffset, base_));
  }

  void TearDown() override {
    if (map_) munmap(map_, kMapSize);
  }

  RLZThreadContext registersAt(uint64_t pc) const {
    RLZThreadContext registers;
    RLZThreadContextInit(&registers, RLZArchitectureARM64);
    registers.registers[kPC] = base_ + pc;
    registers.registers[kSP] = reinterpret_cast<uint64_t>(stack_);
    return registers;
  }

  uint8_t* map_ = nullptr;
  uint64_t base_ = 0;
  uint64_t* stack_ = nullptr;
  RLZCompactUnwindContext context_{};
};

TEST_F(CompactUnwindTest, EachFunctionIsFoundWithItsModeAndRange) {
  struct Case {
    uint64_t pc, start, end;
    uint32_t mode;
  };
  const Case cases[] = {
      {kFrameless, kFrameless, kFramed, RLZCompactUnwindModeFrameless},
      {kFramed, kFramed, kDwarf, RLZCompactUnwindModeFrame},
      {kDwarf - 4, kFramed, kDwarf, RLZCompactUnwindModeFrame},
      {kDwarf + 0x10, kDwarf, kTextEnd, RLZCompactUnwindModeDwarf},
      {kTextEnd - 4, kDwarf, kTextEnd, RLZCompactUnwindModeDwarf},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pc);
    RLZCompactUnwindResult result;
    ASSERT_TRUE(RLZCompactUnwindLookup(&context_, base_ + c.pc, &result));
    EXPECT_EQ(result.encoding & RLZCompactUnwindModeMask, c.mode);
    EXPECT_EQ(result.functionStart, base_ + c.start);
    EXPECT_EQ(result.functionEnd, base_ + c.end);
  }
  RLZCompactUnwindResult result;
  EXPECT_FALSE(RLZCompactUnwindLookup(&context_, base_ + kTextEnd, &result)) << "past the last function";
  EXPECT_FALSE(RLZCompactUnwindLookup(&context_, base_ + 0x3000, &result)) << "before the first function";
}

TEST_F(CompactUnwindTest, AFramelessFunctionReturnsThroughTheLinkRegister) {
  RLZThreadContext registers = registersAt(kFrameless);
  registers.registers[kLR] = base_ + kFramed + 0xC;
  const uint64_t sp = registers.registers[kSP];
  ASSERT_TRUE(RLZCompactUnwindLookupAndCompute(&context_, &registers));
  EXPECT_EQ(RLZThreadContextGetPC(&registers), base_ + kFramed + 0xC);
  EXPECT_EQ(RLZThreadContextGetStackPointer(&registers), sp);

  registers = registersAt(kFrameless);
  registers.registers[kLR] = 0;
  EXPECT_FALSE(RLZCompactUnwindLookupAndCompute(&context_, &registers)) << "no return address";
}

TEST_F(CompactUnwindTest, AFramedFunctionReturnsThroughItsFrameRecord) {
  // The frame record the function pushed: the caller's fp, then its return address.
  stack_[0] = reinterpret_cast<uint64_t>(stack_ + 8);
  stack_[1] = base_ + kDwarf + 0x10;
  RLZThreadContext registers = registersAt(kFramed + 0xC);
  registers.registers[kFP] = reinterpret_cast<uint64_t>(stack_);
  ASSERT_TRUE(RLZCompactUnwindLookupAndCompute(&context_, &registers));
  EXPECT_EQ(RLZThreadContextGetPC(&registers), base_ + kDwarf + 0x10);
  EXPECT_EQ(RLZThreadContextGetFramePointer(&registers), reinterpret_cast<uint64_t>(stack_ + 8));
  EXPECT_EQ(RLZThreadContextGetStackPointer(&registers), reinterpret_cast<uint64_t>(stack_ + 2));

  registers = registersAt(kFramed + 0xC);
  registers.registers[kFP] = 0x8;  // unreadable
  EXPECT_FALSE(RLZCompactUnwindLookupAndCompute(&context_, &registers));
}

TEST_F(CompactUnwindTest, ADwarfFunctionRunsItsFDEProgram) {
  // After `mov x9, sp` the CFA is x9 + 48, with fp and lr saved just below it.
  stack_[4] = 0x1234560;
  stack_[5] = base_ + kFramed + 0x10;
  RLZThreadContext registers = registersAt(kDwarf + 0x10);
  registers.registers[kX9] = reinterpret_cast<uint64_t>(stack_);
  registers.registers[kSP] = 0x1000;  // the FDE, not sp, gives the CFA here
  ASSERT_TRUE(RLZCompactUnwindLookupAndCompute(&context_, &registers));
  EXPECT_EQ(RLZThreadContextGetPC(&registers), base_ + kFramed + 0x10);
  EXPECT_EQ(RLZThreadContextGetFramePointer(&registers), 0x1234560u);
  EXPECT_EQ(RLZThreadContextGetStackPointer(&registers), reinterpret_cast<uint64_t>(stack_ + 6));

  // Interrupted exactly at `mov x9, sp`'s successor: that row (CFA = x9 + 48) holds, not the one
  // before it (CFA = sp + 48).
  registers = registersAt(kDwarf + 0xC);
  registers.registers[kX9] = reinterpret_cast<uint64_t>(stack_);
  registers.registers[kSP] = reinterpret_cast<uint64_t>(stack_ + 16);
  ASSERT_TRUE(RLZCompactUnwindLookupAndCompute(&context_, &registers));
  EXPECT_EQ(RLZThreadContextGetStackPointer(&registers), reinterpret_cast<uint64_t>(stack_ + 6));
  EXPECT_EQ(RLZThreadContextGetPC(&registers), base_ + kFramed + 0x10);
}

TEST_F(CompactUnwindTest, AnFDEThatDoesNotCoverThePCIsRefused) {
  // The framed function's FDE starts at 0x30 in __eh_frame: pointing the DWARF entry there must not
  // run another function's program.
  RLZThreadContext registers = registersAt(kDwarf + 0x10);
  registers.registers[kX9] = reinterpret_cast<uint64_t>(stack_);
  EXPECT_FALSE(RLZCompactUnwindDwarfFrame(&context_, 0x30, &registers));
  EXPECT_FALSE(RLZCompactUnwindDwarfFrame(&context_, 0x0, &registers)) << "a CIE is not an FDE";
  EXPECT_FALSE(RLZCompactUnwindDwarfFrame(&context_, 0x7FFFF0, &registers)) << "past the section";
}

TEST_F(CompactUnwindTest, PointerAuthenticationBitsAreStrippedBeforeTheLookup) {
  RLZThreadContext registers = registersAt(kFrameless);
  registers.registers[kPC] |= 0xFF7F000000000000ull;
  registers.registers[kLR] = (base_ + kFramed + 0xC) | 0x0012000000000000ull;
  ASSERT_TRUE(RLZCompactUnwindLookupAndCompute(&context_, &registers));
  EXPECT_EQ(RLZThreadContextGetPC(&registers), base_ + kFramed + 0xC);
}

}  // namespace
