// The crash-time context: a read-only half (paths, limits, flags) sealed once set-up ends and a
// writable half (descriptors, the crash latch, the image table), both in the crash reporter's
// own mapping so that handlers never allocate. Set-up lives in sdk/crash/context.
#pragma once

#include <cstdint>

#include "sdk/crash/records/rlz_binary_image_table.h"
#include "sdk/crash/records/rlz_file.h"

struct RLZAllocator;

inline constexpr size_t RLZContextStackSize = 262144;

struct RLZBinaryImageReadOnlyContext {
  const char* path;
};

struct RLZHostReadOnlyContext {
  const char* documentDirectoryPath;
  uint64_t pageSize;
};

struct RLZRecordPathContext {
  const char* path;
};

// An append-only key-value file compacted into a second one from time to time.
struct RLZUserLoggingKVStorage {
  const char* incrementalPath;
  const char* compactedPath;
  uint32_t maxIncrementalCount;
  uint32_t maxCount;
};

// Two files written in turn: when the active one is full the other is emptied and takes over.
struct RLZUserLoggingABStorage {
  const char* aPath;
  const char* bPath;
  uint32_t maxSize;
  uint32_t maxEntries;
  bool restrictBySize;
  uint32_t* entryCount;  // in the writable context; null when the store counts nothing
};

struct RLZUserLoggingReadOnlyContext {
  RLZUserLoggingKVStorage userKVStorage;
  RLZUserLoggingKVStorage internalKVStorage;
  RLZUserLoggingABStorage logStorage;
  RLZUserLoggingABStorage errorStorage;
  RLZUserLoggingABStorage customExceptionStorage;
};

struct RLZUserLoggingWritableContext {
  const char* activeUserLogPath;
  const char* activeErrorLogPath;
  const char* activeCustomExceptionPath;
  uint32_t userKVCount;
  uint32_t internalKVCount;
  uint32_t errorsCount;
  uint32_t customExceptionsCount;
};

struct RLZReadOnlyContext {
  bool initialized;
  bool debuggerAttached;
  const char* previouslyCrashedFileFullPath;
  const char* logPath;
  const char* reportPath;
  void* signalStack;
  void* machStack;
  RLZBinaryImageReadOnlyContext binaryImage;
  RLZRecordPathContext exception;
  RLZHostReadOnlyContext host;
  RLZRecordPathContext signal;
  RLZRecordPathContext machException;
  RLZUserLoggingReadOnlyContext logging;
};

struct RLZInternalLoggingWritableContext {
  int32_t logFd;  // -1 until the SDK log is opened
  uint32_t logLevel;
};

struct RLZBinaryImageWritableContext {
  RLZFile file;
  RLZBinaryImageRuntimeNode nodes[RLZBinaryImageTableSize];
};

struct RLZWritableContext {
  RLZInternalLoggingWritableContext internalLogging;
  bool crashOccurred;
  RLZBinaryImageWritableContext binaryImage;
  RLZUserLoggingWritableContext logging;
};

struct RLZContext {
  RLZReadOnlyContext* readonly;
  RLZWritableContext* writable;
  RLZAllocator* allocator;
};

extern RLZContext _rlzContext;

// Full barrier, then whether set-up has finished.
bool RLZContextIsInitialized();
// The crash latch: false for the first caller (who records), true for every later one. It holds
// as soon as the context exists, so a crash during set-up is recorded once.
bool RLZContextMarkAndCheckIfCrashed();
// Opens the previously-crashed marker in the root directory and closes it again.
void RLZCreateCrashedMarkerFile();
