// Call-frame information is read from whatever image a crashed thread's PC lies in: any bytes
// must give a parsed record and a step, or a refusal, never a fault or a read outside the copy.
// Input: [0] architecture and register pattern, [1] FDE offset, [2..3] PC offset, then the
// section bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sdk/crash/unwind/rlz_dwarf.h"
#include "sdk/crash/unwind/rlz_thread_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint32_t architecture = (data[0] & 1) ? RLZArchitectureX86_64 : RLZArchitectureARM64;
  const size_t fdeOffset = data[1];
  const uint64_t pcOffset = data[2] | (uint64_t{data[3]} << 8);
  std::vector<uint8_t> section(data + 4, data + size);
  if (fdeOffset >= section.size()) return 0;

  RLZDwarfCFIRecord record;
  if (!RLZDwarfParseCFIFromFDEAddress(&record, reinterpret_cast<uintptr_t>(section.data()) + fdeOffset)) return 0;

  // Registers point into the section or hold small values, so that saved-register reads both
  // succeed and fail.
  RLZThreadContext registers;
  RLZThreadContextInit(&registers, architecture);
  const uint64_t base = reinterpret_cast<uint64_t>(section.data());
  for (uint32_t i = 0; i < RLZThreadContextSlotCount; ++i) {
    registers.registers[i] = (data[0] & 2) ? base + (i * 8) % section.size() : i * 0x1000;
  }
  const RLZArchitectureTraits* traits = RLZArchitectureGetTraits(architecture);
  registers.registers[traits->pcSlot] = record.fde.startAddress + pcOffset;
  RLZThreadContext stepped = registers;
  (void)RLZDwarfUnwindComputeRegisters(&record, &stepped);

  // The expression machine on its own, from the section's first bytes (a ULEB128 length first).
  uint64_t result = 0;
  (void)RLZDwarfEvalulateExpression(section.data(), &registers, base, &result);
  return 0;
}
