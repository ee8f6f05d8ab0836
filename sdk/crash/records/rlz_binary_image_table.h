// The table of loaded images that crash-time code searches without locks. A slot is claimed by
// compare-and-swap of its base address before the rest is written, so a reader may see a claimed
// slot with size 0, which matches no address.
#pragma once

#include <cstdint>

struct RLZBinaryImageRuntimeNode {
  uintptr_t baseAddress;  // read and written atomically; 0 = free slot
  uint64_t size;          // bytes from the base that hold code
  uintptr_t ehFrame;
  uintptr_t unwindInfo;
  uintptr_t crashInfo;
};
static_assert(sizeof(RLZBinaryImageRuntimeNode) == 40);

inline constexpr int RLZBinaryImageTableSize = 1024;

// Load: claims a free slot or one whose image was unloaded. Unload: frees the slot of the image
// with that base and a non-zero size. False when no slot matched (logged).
bool RLZBinaryImageTableStore(RLZBinaryImageRuntimeNode* table, bool added, const RLZBinaryImageRuntimeNode* node);
// The first live slot holding the address.
bool RLZBinaryImageTableFind(const RLZBinaryImageRuntimeNode* table, uintptr_t address,
                             RLZBinaryImageRuntimeNode* outNode);
