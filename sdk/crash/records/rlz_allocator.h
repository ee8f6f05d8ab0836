// The crash reporter's memory: one mapping made before any crash, laid out as guard page,
// writable region, guard page, readable region, guard page. Allocation bumps a cursor by
// compare-and-swap and never frees; protecting the allocator makes the readable region read-only.
#pragma once

#include <cstddef>
#include <cstdint>

struct RLZAllocatorRegion {
  size_t size;
  uintptr_t start;
  uintptr_t cursor;  // advanced atomically
};

struct RLZAllocator {
  void* buffer;
  size_t bufferSize;
  bool protectionEnabled;
  RLZAllocatorRegion writableRegion;
  RLZAllocatorRegion readableRegion;
};

inline constexpr int RLZAllocatorRegionReadable = 0;
inline constexpr int RLZAllocatorRegionWritable = 1;
// Every allocation is a multiple of this, so atomics and image nodes stay aligned.
inline constexpr size_t RLZAllocatorAlignment = 16;

size_t RLZAllocatorPageSize();
RLZAllocator* RLZAllocatorCreate(size_t writableSize, size_t readableSize);
// A null or protected allocator, or a full region, falls back to the heap (with a warning).
void* RLZAllocatorSafeAllocate(RLZAllocator* allocator, size_t size, int region);
bool RLZAllocatorProtect(RLZAllocator* allocator);
// Tests: unmaps an allocator (the crash reporter's own lives for the process).
void RLZAllocatorDestroyForTesting(RLZAllocator* allocator);
