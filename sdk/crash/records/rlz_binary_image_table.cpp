#include "sdk/crash/records/rlz_binary_image_table.h"

#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

// A slot whose image went away keeps its base with size 0 until it is claimed again; the size is
// cleared before the base is released, so no reader matches a half-reused slot.
constexpr uintptr_t kClaiming = 1;

bool claim(RLZBinaryImageRuntimeNode* slot, uintptr_t expected, const RLZBinaryImageRuntimeNode* node) {
  if (!__atomic_compare_exchange_n(&slot->baseAddress, &expected, kClaiming, false, __ATOMIC_SEQ_CST,
                                   __ATOMIC_SEQ_CST)) {
    return false;
  }
  __atomic_store_n(&slot->size, 0, __ATOMIC_SEQ_CST);
  slot->ehFrame = node->ehFrame;
  slot->unwindInfo = node->unwindInfo;
  slot->crashInfo = node->crashInfo;
  __atomic_store_n(&slot->baseAddress, node->baseAddress, __ATOMIC_SEQ_CST);
  __atomic_store_n(&slot->size, node->size, __ATOMIC_SEQ_CST);
  return true;
}

}  // namespace

bool RLZBinaryImageTableStore(RLZBinaryImageRuntimeNode* table, bool added, const RLZBinaryImageRuntimeNode* node) {
  if (!RLZIsValidPointer(table)) {
    RLZSDKLogWarn("Error: Writable context is NULL\n");
    return false;
  }
  const uintptr_t base = node->baseAddress;
  if (added) {
    for (int pass = 0; pass < 2; ++pass) {
      for (int i = 0; i < RLZBinaryImageTableSize; ++i) {
        RLZBinaryImageRuntimeNode* slot = &table[i];
        const uintptr_t current = __atomic_load_n(&slot->baseAddress, __ATOMIC_SEQ_CST);
        // First pass: never-used slots; second pass: slots of unloaded images.
        const bool free = pass == 0 ? current == 0
                                    : current > kClaiming && __atomic_load_n(&slot->size, __ATOMIC_SEQ_CST) == 0;
        if (free && claim(slot, current, node)) return true;
      }
    }
  } else {
    for (int i = 0; i < RLZBinaryImageTableSize; ++i) {
      RLZBinaryImageRuntimeNode* slot = &table[i];
      if (__atomic_load_n(&slot->baseAddress, __ATOMIC_SEQ_CST) != base) continue;
      if (__atomic_load_n(&slot->size, __ATOMIC_SEQ_CST) == 0) continue;
      __atomic_store_n(&slot->size, 0, __ATOMIC_SEQ_CST);
      slot->ehFrame = 0;
      slot->unwindInfo = 0;
      slot->crashInfo = 0;
      return true;
    }
  }
  RLZSDKLogWarn("Error: Unable to track a %s node %p\n", added ? "loaded" : "unloaded",
                reinterpret_cast<void*>(base));
  return false;
}

bool RLZBinaryImageTableFind(const RLZBinaryImageRuntimeNode* table, uintptr_t address,
                             RLZBinaryImageRuntimeNode* outNode) {
  if (!RLZIsValidPointer(table) || address == 0 || !RLZIsValidPointer(outNode)) return false;
  for (int i = 0; i < RLZBinaryImageTableSize; ++i) {
    const RLZBinaryImageRuntimeNode* slot = &table[i];
    const uintptr_t base = __atomic_load_n(&slot->baseAddress, __ATOMIC_SEQ_CST);
    if (base <= kClaiming) continue;
    const uint64_t size = __atomic_load_n(&slot->size, __ATOMIC_SEQ_CST);
    if (address < base || address - base >= size) continue;
    RLZBinaryImageRuntimeNode copy{base, size, slot->ehFrame, slot->unwindInfo, slot->crashInfo};
    // A slot reused meanwhile for another image is not this one.
    if (__atomic_load_n(&slot->baseAddress, __ATOMIC_SEQ_CST) != base) continue;
    *outNode = copy;
    return true;
  }
  return false;
}
