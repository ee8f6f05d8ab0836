#include "sdk/crash/records/rlz_allocator.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

size_t roundUp(size_t size) { return (size + RLZAllocatorAlignment - 1) & ~(RLZAllocatorAlignment - 1); }

void* heapAllocate(size_t size, const char* warning) {
  void* memory = calloc(1, size ? size : 1);
  if (!memory) RLZSDKFileLog(RLZSDKLogLevelWarn, warning, __func__, __LINE__);
  return memory;
}

void* allocateFromRegion(RLZAllocatorRegion* region, size_t size) {
  uintptr_t cursor = __atomic_load_n(&region->cursor, __ATOMIC_SEQ_CST);
  for (;;) {
    if (cursor + size - region->start > region->size) {
      RLZSDKLogWarn("Unable to allocate sufficient memory, falling back to malloc\n");
      return heapAllocate(size, "WARN  [%s:%d] Unable to malloc in RLZAllocatorSafeAllocateFromRegion\n");
    }
    if (__atomic_compare_exchange_n(&region->cursor, &cursor, cursor + size, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST)) {
      return reinterpret_cast<void*>(cursor);
    }
  }
}

}  // namespace

size_t RLZAllocatorPageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

RLZAllocator* RLZAllocatorCreate(size_t writableSize, size_t readableSize) {
  const size_t page = RLZAllocatorPageSize();
  const size_t writable = writableSize == 0 ? 0 : page * (1 + writableSize / page);
  const size_t readable = page * (1 + (readableSize + roundUp(sizeof(RLZAllocator))) / page);
  const size_t total = writable + readable + 3 * page;

  void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) {
    RLZSDKLogError("Mapping failed %s\n", strerror(errno));
    return nullptr;
  }
  auto* base = static_cast<char*>(mapping);
  char* writableStart = base + page;
  char* readableStart = writableStart + writable + page;
  RLZSDKLogInfo("Mapping: %p %p %p, total: %zu K\n", mapping, static_cast<void*>(writableStart),
                static_cast<void*>(readableStart), static_cast<unsigned>(total / 1024));

  struct Guard {
    char* at;
    const char* failure;
  } guards[] = {{base, "ERROR [%s:%d] First guard protection failed %s\n"},
                {writableStart + writable, "ERROR [%s:%d] Middle guard protection failed %s\n"},
                {readableStart + readable, "ERROR [%s:%d] Last guard protection failed %s\n"}};
  for (const auto& guard : guards) {
    if (mprotect(guard.at, page, PROT_NONE) != 0) {
      RLZSDKFileLog(RLZSDKLogLevelError, guard.failure, __func__, __LINE__, strerror(errno));
      munmap(mapping, total);
      return nullptr;
    }
  }

  RLZAllocatorRegion readableRegion{readable, reinterpret_cast<uintptr_t>(readableStart),
                                    reinterpret_cast<uintptr_t>(readableStart)};
  auto* allocator = static_cast<RLZAllocator*>(allocateFromRegion(&readableRegion, roundUp(sizeof(RLZAllocator))));
  allocator->buffer = mapping;
  allocator->bufferSize = total;
  allocator->protectionEnabled = false;
  allocator->writableRegion = {writable, reinterpret_cast<uintptr_t>(writableStart),
                               reinterpret_cast<uintptr_t>(writableStart)};
  allocator->readableRegion = readableRegion;
  RLZSDKLogDebug("Allocator successfully created %p", static_cast<void*>(allocator));
  return allocator;
}

void* RLZAllocatorSafeAllocate(RLZAllocator* allocator, size_t size, int region) {
  if (!RLZIsValidPointer(allocator)) {
    RLZSDKLogWarn("Allocator invalid, falling back to malloc\n");
    return heapAllocate(size, "WARN  [%s:%d] Unable to malloc in RLZAllocatorSafeAllocate\n");
  }
  if (allocator->protectionEnabled) {
    RLZSDKLogWarn("Allocator already protected, falling back to malloc\n");
    return heapAllocate(size, "WARN  [%s:%d] Unable to malloc in RLZAllocatorSafeAllocate\n");
  }
  switch (region) {
    case RLZAllocatorRegionReadable: return allocateFromRegion(&allocator->readableRegion, roundUp(size));
    case RLZAllocatorRegionWritable: return allocateFromRegion(&allocator->writableRegion, roundUp(size));
    default: return nullptr;
  }
}

bool RLZAllocatorProtect(RLZAllocator* allocator) {
  if (!RLZIsValidPointer(allocator)) {
    RLZSDKLogError("Invalid allocator");
    return false;
  }
  if (allocator->protectionEnabled) {
    RLZSDKLogWarn("Write protection already enabled");
    return true;
  }
  allocator->protectionEnabled = true;
  // The allocator record itself lies in the readable region: set the flag before sealing it.
  if (mprotect(reinterpret_cast<void*>(allocator->readableRegion.start), allocator->readableRegion.size,
               PROT_READ) != 0) {
    allocator->protectionEnabled = false;
    return false;
  }
  return true;
}

void RLZAllocatorDestroyForTesting(RLZAllocator* allocator) {
  if (!RLZIsValidPointer(allocator)) return;
  munmap(allocator->buffer, allocator->bufferSize);
}
