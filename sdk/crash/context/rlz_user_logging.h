// What the app and the SDK add to the current report while the app runs: custom and internal
// keys (an incremental file compacted into a second one), log lines, recorded errors and custom
// exceptions (A/B file pairs). Everything is written at once, so a crash needs no work to keep it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace platform {
class Error;
}
struct RLZFile;
struct RLZUserLoggingKVStorage;
struct RLZUserLoggingABStorage;
struct RLZUserLoggingReadOnlyContext;
struct RLZUserLoggingWritableContext;

inline constexpr uint32_t kRLZMaxIncrementalKVCount = 64;
inline constexpr uint32_t kRLZMaxInternalKeyValues = 32;

struct RLZUserLoggingLimits {
  uint32_t maxLogSize;
  uint32_t maxCustomKeys;
  uint32_t maxCustomExceptions;
  bool errorReportingEnabled;
};

// Context set-up: every path under the report directory, the limits, the A files active.
void RLZUserLoggingInit(const char* reportPath, const RLZUserLoggingLimits& limits,
                        RLZUserLoggingReadOnlyContext* readOnly, RLZUserLoggingWritableContext* writable);

// Keys. A null value removes the key; another non-string value is stored as its description.
void RLZUserLoggingRecordUserKeyValue(const std::string& key, const platform::Value& value);
void RLZUserLoggingRecordUserKeysAndValues(const platform::Value::Dictionary& keysAndValues);
void RLZUserLoggingRecordInternalKeyValue(const std::string& key, const platform::Value& value);
// At once on the caller's thread: no initialisation check, no queue, no forced compaction.
void RLZUserLoggingWriteInternalKeyValue(const std::string& key, const std::string& value);
void RLZUserLoggingRecordKeyValue(const std::optional<std::string>& key, const platform::Value& value,
                                  const RLZUserLoggingKVStorage* storage, uint32_t* counter);
void RLZUserLoggingRecordKeysAndValues(const std::optional<platform::Value::Dictionary>& keysAndValues,
                                       const RLZUserLoggingKVStorage* storage, uint32_t* counter);
void RLZUserLoggingWriteKeysAndValues(const platform::Value::Dictionary& keysAndValues,
                                      const RLZUserLoggingKVStorage* storage, uint32_t* counter,
                                      bool forceCompaction);
void RLZUserLoggingCompactKVEntries(const RLZUserLoggingKVStorage* storage);
// The merged view: compacted entries, then the incremental ones in order. Keys and values stay
// in their hex text unless `decodeHex`. None for an invalid store.
std::optional<platform::Value::Dictionary> RLZUserLoggingGetCompactedKVEntries(const RLZUserLoggingKVStorage* storage,
                                                                               bool decodeHex);

// Logs.
void RLZLog(const std::string& message);
void RLZLogToStorage(const RLZUserLoggingABStorage* storage, const char** activePath,
                     const std::optional<std::string>& message);

// Errors.
void RLZUserLoggingRecordError(const platform::Error* error, const platform::Value::Dictionary* additionalUserInfo);

// The A/B writer: `writeBlock` writes one line into the open active file.
void RLZUserLoggingWriteAndCheckABFiles(const RLZUserLoggingABStorage* storage, const char** activePath,
                                        const std::function<void(RLZFile*)>& writeBlock);
void RLZUserLoggingCheckAndSwapABFiles(const RLZUserLoggingABStorage* storage, const char** activePath,
                                       int64_t fileLength);
