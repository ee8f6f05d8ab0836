// A thread's machine context as the crash-time code sees it, for the two architectures it meets:
// arm64 (the phone's, exercised by Mach-O fixtures) and x86_64 (this machine's, live). Everything
// that differs between them is one traits entry; the rest of the unwinder and the recorder is
// shared.
//
// Register file slots:
//   arm64:  0-28 x0-x28, 29 fp, 30 lr, 31 sp, 32 pc, 33 cpsr. DWARF numbers 0-31 are the slots.
//   x86_64: 0-15 in DWARF order (rax, rdx, rcx, rbx, rsi, rdi, rbp, rsp, r8-r15), 16 rip (DWARF
//           16, the return-address column), 17 rflags.
// Keys of the "threads" record keep the phone's catalogue names; on x86_64 they are filled as:
//   "x0"-"x15" = DWARF registers 0-15 (rax, rdx, rcx, rbx, rsi, rdi, rbp, rsp, r8-r15),
//   "x16"-"x28" = 0, "fp" = rbp, "sp" = rsp, "lr" = 0, "pc" = rip, "cpsr" = rflags.
#pragma once

#include <cstdint>

enum RLZArchitecture : uint32_t { RLZArchitectureARM64 = 0, RLZArchitectureX86_64 = 1 };

inline constexpr uint32_t RLZThreadContextSlotCount = 34;
inline constexpr uint32_t RLZNoSlot = UINT32_MAX;

struct RLZThreadContext {
  uint32_t architecture;
  uint64_t faultAddress;  // exception state
  uint64_t registers[RLZThreadContextSlotCount];
};

struct RLZArchitectureTraits {
  const char* name;
  uint32_t dwarfRegisterCount;    // DWARF numbers below this are registers
  uint32_t returnAddressColumn;   // the DWARF number whose rule gives the caller's PC
  uint32_t pcSlot, spSlot, fpSlot, lrSlot, flagsSlot;
  // PC, SP, LR and FP keep only these bits (pointer-authentication bits on arm64).
  uint64_t addressMask;
  // glibc's call-frame programs use opcodes the phone's never does (state stack, restore,
  // GNU_args_size, the signed-factor forms); they are honoured where this is set.
  bool extendedCallFrameOpcodes;
  // The slot of each "threads" register key, in record order; RLZNoSlot writes 0.
  uint32_t recordSlots[34];
};

const RLZArchitectureTraits* RLZArchitectureGetTraits(uint32_t architecture);
// This machine's architecture.
uint32_t RLZArchitectureNative();
// The "threads" register keys in record order.
extern const char* const RLZThreadContextRecordKeys[34];

void RLZThreadContextInit(RLZThreadContext* context, uint32_t architecture);
uint64_t RLZThreadContextGetPC(const RLZThreadContext* context);
uint64_t RLZThreadContextGetStackPointer(const RLZThreadContext* context);
uint64_t RLZThreadContextGetLinkRegister(const RLZThreadContext* context);
uint64_t RLZThreadContextGetFramePointer(const RLZThreadContext* context);
bool RLZThreadContextSetPC(RLZThreadContext* context, uint64_t value);
bool RLZThreadContextSetStackPointer(RLZThreadContext* context, uint64_t value);
bool RLZThreadContextSetLinkRegister(RLZThreadContext* context, uint64_t value);
bool RLZThreadContextSetFramePointer(RLZThreadContext* context, uint64_t value);
// A signal's user context (ucontext_t) of this machine into a thread context.
void RLZThreadContextFromUserContext(RLZThreadContext* context, const void* userContext);
// The machine's general register set (gregset order) into a thread context.
void RLZThreadContextFromGeneralRegisters(RLZThreadContext* context, const int64_t* registers);
