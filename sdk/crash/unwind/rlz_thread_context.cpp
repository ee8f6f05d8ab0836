#include "sdk/crash/unwind/rlz_thread_context.h"

#include <ucontext.h>

#include <cstring>

namespace {

constexpr RLZArchitectureTraits kARM64 = {
    "arm64", 32, 30, 32, 31, 29, 30, 33, 0xFFFFFFFFFull, false,
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
     29, 31, 30, 32, 33}};

constexpr RLZArchitectureTraits kX86_64 = {
    "x86_64", 17, 16, 16, 7, 6, RLZNoSlot, 17, ~0ull, true,
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, RLZNoSlot, RLZNoSlot, RLZNoSlot, RLZNoSlot, RLZNoSlot,
     RLZNoSlot, RLZNoSlot, RLZNoSlot, RLZNoSlot, RLZNoSlot, RLZNoSlot, RLZNoSlot, RLZNoSlot, 6, 7, RLZNoSlot, 16,
     17}};

uint64_t get(const RLZThreadContext* context, uint32_t slot) {
  if (!context || slot == RLZNoSlot) return 0;
  return context->registers[slot] & RLZArchitectureGetTraits(context->architecture)->addressMask;
}

bool set(RLZThreadContext* context, uint32_t slot, uint64_t value) {
  if (!context || slot == RLZNoSlot) return false;
  context->registers[slot] = value & RLZArchitectureGetTraits(context->architecture)->addressMask;
  return true;
}

}  // namespace

const char* const RLZThreadContextRecordKeys[34] = {
    "x0",  "x1",  "x2",  "x3",  "x4",  "x5",  "x6",  "x7",  "x8",  "x9",  "x10", "x11",
    "x12", "x13", "x14", "x15", "x16", "x17", "x18", "x19", "x20", "x21", "x22", "x23",
    "x24", "x25", "x26", "x27", "x28", "fp",  "sp",  "lr",  "pc",  "cpsr"};

const RLZArchitectureTraits* RLZArchitectureGetTraits(uint32_t architecture) {
  return architecture == RLZArchitectureX86_64 ? &kX86_64 : &kARM64;
}

uint32_t RLZArchitectureNative() {
#if defined(__x86_64__)
  return RLZArchitectureX86_64;
#else
  return RLZArchitectureARM64;
#endif
}

void RLZThreadContextInit(RLZThreadContext* context, uint32_t architecture) {
  memset(context, 0, sizeof *context);
  context->architecture = architecture;
}

uint64_t RLZThreadContextGetPC(const RLZThreadContext* c) { return get(c, RLZArchitectureGetTraits(c->architecture)->pcSlot); }
uint64_t RLZThreadContextGetStackPointer(const RLZThreadContext* c) {
  return get(c, RLZArchitectureGetTraits(c->architecture)->spSlot);
}
uint64_t RLZThreadContextGetLinkRegister(const RLZThreadContext* c) {
  return get(c, RLZArchitectureGetTraits(c->architecture)->lrSlot);
}
uint64_t RLZThreadContextGetFramePointer(const RLZThreadContext* c) {
  return get(c, RLZArchitectureGetTraits(c->architecture)->fpSlot);
}
bool RLZThreadContextSetPC(RLZThreadContext* c, uint64_t v) {
  return set(c, RLZArchitectureGetTraits(c->architecture)->pcSlot, v);
}
bool RLZThreadContextSetStackPointer(RLZThreadContext* c, uint64_t v) {
  return set(c, RLZArchitectureGetTraits(c->architecture)->spSlot, v);
}
bool RLZThreadContextSetLinkRegister(RLZThreadContext* c, uint64_t v) {
  return set(c, RLZArchitectureGetTraits(c->architecture)->lrSlot, v);
}
bool RLZThreadContextSetFramePointer(RLZThreadContext* c, uint64_t v) {
  return set(c, RLZArchitectureGetTraits(c->architecture)->fpSlot, v);
}

void RLZThreadContextFromGeneralRegisters(RLZThreadContext* context, const int64_t* g) {
  RLZThreadContextInit(context, RLZArchitectureNative());
#if defined(__x86_64__)
  // DWARF order: rax, rdx, rcx, rbx, rsi, rdi, rbp, rsp, r8-r15, rip.
  const int order[17] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI, REG_RBP, REG_RSP, REG_R8,
                         REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
  for (int i = 0; i < 17; ++i) context->registers[i] = static_cast<uint64_t>(g[order[i]]);
  context->registers[17] = static_cast<uint64_t>(g[REG_EFL]);
  context->faultAddress = static_cast<uint64_t>(g[REG_CR2]);
#else
  (void)g;
#endif
}

void RLZThreadContextFromUserContext(RLZThreadContext* context, const void* userContext) {
  const auto* uc = static_cast<const ucontext_t*>(userContext);
  static_assert(sizeof(uc->uc_mcontext.gregs[0]) == sizeof(int64_t));
  RLZThreadContextFromGeneralRegisters(context, reinterpret_cast<const int64_t*>(uc->uc_mcontext.gregs));
}
