#include "sdk/crash/context/rlz_user_logging.h"

#include <execinfo.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

// Guards reading and replacing the active path of every A/B store.
platform::Mutex& abPathLock() {
  static platform::Mutex lock;
  return lock;
}

const char* pathIn(const char* reportPath, const char* name) { return RLZContextAppendToRoot(reportPath, name); }

bool isEnabled(const RLZUserLoggingABStorage* storage) {
  return storage->restrictBySize ? storage->maxSize != 0 : storage->maxEntries != 0;
}

const char* readActivePath(const char** activePath) {
  platform::MutexLock lock(abPathLock());
  return *activePath;
}

void runOnLoggingQueue(const std::function<void()>& block) {
  auto queue = RLZContextLoggingQueue();
  if (!queue) return;
  if (queue->isCurrent()) {
    block();
  } else {
    queue->sync(block);
  }
}

std::string textOf(const platform::Value& value) {
  if (const std::string* s = value.ifString()) return *s;
  return value.description();
}

// Null marks a removed key; every other value becomes text.
platform::Value normalised(const platform::Value& value) {
  if (value.isNull()) return platform::Value();
  return platform::Value(textOf(value));
}

std::optional<std::string> hexDecoded(const std::string& hex) { return RLZFileHexDecodeString(hex.c_str()); }

// Each "kv" object of a file's lines; none read before the context is up.
std::vector<platform::Value> kvObjects(const char* path) {
  std::vector<platform::Value> objects;
  if (!RLZContextIsInitialized()) return objects;
  auto sections = RLZFileReadSections(path, true);
  if (!sections) return objects;
  for (const platform::Value& section : *sections) {
    if (const auto* dictionary = section.ifDictionary()) {
      if (auto it = dictionary->find("kv"); it != dictionary->end()) objects.push_back(it->second);
    }
  }
  return objects;
}

void writeInfoArray(RLZFile* file, const char* key, const platform::Value::Dictionary& info) {
  if (info.empty()) return;
  RLZFileWriteHashKey(file, key);
  RLZFileWriteArrayStart(file);
  for (const auto& [name, value] : info) {
    RLZFileWriteArrayStart(file);
    RLZFileWriteArrayEntryHexEncodedString(file, name.c_str());
    RLZFileWriteArrayEntryHexEncodedString(file, value.description().c_str());
    RLZFileWriteArrayEnd(file);
  }
  RLZFileWriteArrayEnd(file);
}

}  // namespace

void RLZUserLoggingInit(const char* reportPath, const RLZUserLoggingLimits& limits,
                        RLZUserLoggingReadOnlyContext* readOnly, RLZUserLoggingWritableContext* writable) {
  readOnly->userKVStorage = {pathIn(reportPath, "user_incremental_kv.rlzrecord"),
                             pathIn(reportPath, "user_compacted_kv.rlzrecord"), kRLZMaxIncrementalKVCount,
                             limits.maxCustomKeys};
  readOnly->internalKVStorage = {pathIn(reportPath, "internal_incremental_kv.rlzrecord"),
                                 pathIn(reportPath, "internal_compacted_kv.rlzrecord"), kRLZMaxIncrementalKVCount,
                                 kRLZMaxInternalKeyValues};
  readOnly->logStorage = {pathIn(reportPath, "log_a.rlzrecord"), pathIn(reportPath, "log_b.rlzrecord"),
                          limits.maxLogSize, 0, true, nullptr};
  readOnly->errorStorage = {pathIn(reportPath, "errors_a.rlzrecord"),
                            pathIn(reportPath, "errors_b.rlzrecord"),
                            0,
                            limits.errorReportingEnabled ? limits.maxCustomExceptions : 0,
                            false,
                            &writable->errorsCount};
  readOnly->customExceptionStorage = {pathIn(reportPath, "custom_exception_a.rlzrecord"),
                                      pathIn(reportPath, "custom_exception_b.rlzrecord"),
                                      0,
                                      limits.maxCustomExceptions,
                                      false,
                                      &writable->customExceptionsCount};
  platform::MutexLock lock(abPathLock());
  writable->activeUserLogPath = readOnly->logStorage.aPath;
  writable->activeErrorLogPath = readOnly->errorStorage.aPath;
  writable->activeCustomExceptionPath = readOnly->customExceptionStorage.aPath;
  writable->userKVCount = 0;
  writable->internalKVCount = 0;
  writable->errorsCount = 0;
  writable->customExceptionsCount = 0;
}

// ---- Keys ----

void RLZUserLoggingRecordUserKeyValue(const std::string& key, const platform::Value& value) {
  if (!RLZContextIsInitialized()) return;
  RLZUserLoggingRecordKeyValue(key, value, &_rlzContext.readonly->logging.userKVStorage,
                               &_rlzContext.writable->logging.userKVCount);
}

void RLZUserLoggingRecordUserKeysAndValues(const platform::Value::Dictionary& keysAndValues) {
  if (!RLZContextIsInitialized()) return;
  RLZUserLoggingRecordKeysAndValues(keysAndValues, &_rlzContext.readonly->logging.userKVStorage,
                                    &_rlzContext.writable->logging.userKVCount);
}

void RLZUserLoggingRecordInternalKeyValue(const std::string& key, const platform::Value& value) {
  if (!RLZContextIsInitialized()) return;
  RLZUserLoggingRecordKeyValue(key, value, &_rlzContext.readonly->logging.internalKVStorage,
                               &_rlzContext.writable->logging.internalKVCount);
}

void RLZUserLoggingWriteInternalKeyValue(const std::string& key, const std::string& value) {
  if (!_rlzContext.readonly || !_rlzContext.writable) return;
  RLZUserLoggingWriteKeysAndValues({{key, platform::Value(value)}}, &_rlzContext.readonly->logging.internalKVStorage,
                                   &_rlzContext.writable->logging.internalKVCount, false);
}

void RLZUserLoggingRecordKeyValue(const std::optional<std::string>& key, const platform::Value& value,
                                  const RLZUserLoggingKVStorage* storage, uint32_t* counter) {
  if (!key) {
    RLZSDKLogWarn("User provided bad key\n");
    return;
  }
  RLZUserLoggingRecordKeysAndValues(platform::Value::Dictionary{{*key, value}}, storage, counter);
}

void RLZUserLoggingRecordKeysAndValues(const std::optional<platform::Value::Dictionary>& keysAndValues,
                                       const RLZUserLoggingKVStorage* storage, uint32_t* counter) {
  if (!RLZContextIsInitialized()) return;
  if (!keysAndValues || keysAndValues->empty()) {
    RLZSDKLogWarn("User provided empty key/value dictionary\n");
    return;
  }
  platform::Value::Dictionary normalisedEntries;
  bool forceCompaction = false;
  for (const auto& [key, value] : *keysAndValues) {
    normalisedEntries[key] = normalised(value);
    if (value.isNull()) forceCompaction = true;
  }
  runOnLoggingQueue([&] { RLZUserLoggingWriteKeysAndValues(normalisedEntries, storage, counter, forceCompaction); });
}

void RLZUserLoggingWriteKeysAndValues(const platform::Value::Dictionary& keysAndValues,
                                      const RLZUserLoggingKVStorage* storage, uint32_t* counter,
                                      bool forceCompaction) {
  if (!storage || !counter || !storage->incrementalPath) {
    RLZSDKLogError("Bad parameters\n");
    return;
  }
  RLZFile file;
  if (!RLZFileInitWithPathMode(&file, storage->incrementalPath, true, true)) {
    RLZSDKLogError("Unable to open k-v file\n");
    return;
  }
  for (const auto& [key, value] : keysAndValues) {
    RLZFileWriteSectionStart(&file, "kv");
    RLZFileWriteHashStart(&file);
    RLZFileWriteHashEntryHexEncodedString(&file, "key", key.c_str());
    const std::string* text = value.ifString();
    RLZFileWriteHashEntryHexEncodedString(&file, "value", text ? text->c_str() : nullptr);
    RLZFileWriteHashEnd(&file);
    RLZFileWriteSectionEnd(&file);
  }
  RLZFileClose(&file);
  *counter += static_cast<uint32_t>(keysAndValues.size());
  if (*counter >= storage->maxIncrementalCount || forceCompaction) {
    // The counter is touched on the logging queue only.
    if (auto queue = RLZContextLoggingQueue()) {
      queue->async([storage, counter] {
        RLZUserLoggingCompactKVEntries(storage);
        *counter = 0;
      });
    }
  }
}

std::optional<platform::Value::Dictionary> RLZUserLoggingGetCompactedKVEntries(const RLZUserLoggingKVStorage* storage,
                                                                               bool decodeHex) {
  if (!storage || !storage->incrementalPath || !storage->compactedPath) {
    RLZSDKLogError("storage invalid\n");
    return std::nullopt;
  }
  const auto compacted = kvObjects(storage->compactedPath);
  const auto incremental = kvObjects(storage->incrementalPath);
  platform::Value::Dictionary entries;
  auto text = [](const platform::Value::Dictionary& kv, const char* name) -> const std::string* {
    auto it = kv.find(name);
    return it == kv.end() ? nullptr : it->second.ifString();
  };
  for (const platform::Value& line : compacted) {
    const auto* kv = line.ifDictionary();
    const std::string* key = kv ? text(*kv, "key") : nullptr;
    const std::string* value = kv ? text(*kv, "value") : nullptr;
    if (!key || !value) {
      RLZSDKLogError("compacted key/value contains a nil and must be dropped\n");
      continue;
    }
    entries[*key] = platform::Value(*value);
  }
  for (const platform::Value& line : incremental) {
    const auto* kv = line.ifDictionary();
    const std::string* key = kv ? text(*kv, "key") : nullptr;
    const bool hasValue = kv && kv->count("value");
    if (!key || !hasValue) {
      RLZSDKLogError("incremental key/value contains a nil and must be dropped\n");
      continue;
    }
    const std::string* value = text(*kv, "value");
    if (value) {
      entries[*key] = platform::Value(*value);
    } else {
      entries.erase(*key);
    }
  }
  if (!decodeHex) return entries;
  platform::Value::Dictionary decoded;
  for (const auto& [key, value] : entries) {
    auto plainKey = hexDecoded(key);
    auto plainValue = hexDecoded(*value.ifString());
    if (plainKey && plainValue) decoded[*plainKey] = platform::Value(*plainValue);
  }
  return decoded;
}

void RLZUserLoggingCompactKVEntries(const RLZUserLoggingKVStorage* storage) {
  if (!storage || !storage->incrementalPath || !storage->compactedPath) {
    RLZSDKLogError("Error: storage invalid\n");
    return;
  }
  auto entries = RLZUserLoggingGetCompactedKVEntries(storage, false);
  if (!entries) return;
  if (unlink(storage->compactedPath) != 0 && errno != ENOENT) {
    RLZSDKLogWarn("Error: Unable to remove compacted KV store before compaction %s\n", strerror(errno));
  }
  RLZFile file;
  if (!RLZFileInitWithPathMode(&file, storage->compactedPath, true, true)) {
    RLZSDKLogWarn("Error: Unable to open compacted k-v file\n");
    return;
  }
  if (entries->size() > storage->maxCount) {
    RLZSDKLogInfo("Truncating %d keys from KV set, which is above max %d\n",
                  static_cast<int>(entries->size() - storage->maxCount), static_cast<int>(storage->maxCount));
    auto cut = entries->begin();
    std::advance(cut, storage->maxCount);
    entries->erase(cut, entries->end());
  }
  for (const auto& [key, value] : *entries) {
    RLZFileWriteSectionStart(&file, "kv");
    RLZFileWriteHashStart(&file);
    RLZFileWriteHashEntryString(&file, "key", key.c_str());
    RLZFileWriteHashEntryString(&file, "value", value.ifString()->c_str());
    RLZFileWriteHashEnd(&file);
    RLZFileWriteSectionEnd(&file);
  }
  RLZFileClose(&file);
  if (unlink(storage->incrementalPath) != 0) {
    RLZSDKLogWarn("Error: Unable to remove incremental KV store after compaction %s\n", strerror(errno));
  }
}

// ---- Logs ----

void RLZLog(const std::string& message) {
  if (!_rlzContext.readonly || !_rlzContext.writable) {
    RLZLogToStorage(nullptr, nullptr, message);
    return;
  }
  RLZLogToStorage(&_rlzContext.readonly->logging.logStorage, &_rlzContext.writable->logging.activeUserLogPath,
                  message);
}

void RLZLogToStorage(const RLZUserLoggingABStorage* storage, const char** activePath,
                     const std::optional<std::string>& message) {
  if (!message) return;
  if (!RLZContextIsInitialized() || !storage) {
    RLZWarningLog(
        "WARNING: RLZLog has been used before (or concurrently with) Ralitoze initialization and cannot be recorded. "
        "The message was: \n%@",
        *message);
    return;
  }
  std::string text = *message;
  const std::size_t length = platform::strings::utf16Length(text);
  if (length > storage->maxSize) {
    RLZWarningLog("WARNING: Attempted to write %zd bytes, but %d is the maximum size of the log. Truncating to %d bytes.\n",
                  static_cast<long>(length), static_cast<int>(storage->maxSize), static_cast<int>(storage->maxSize));
    // Never half a surrogate pair: the cut falls on a character boundary at or below the limit.
    text = platform::strings::prefixUTF16(text, storage->maxSize);
  }
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0) return;
  const uint64_t millis = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
  RLZUserLoggingWriteAndCheckABFiles(storage, activePath, [&](RLZFile* file) {
    RLZFileWriteSectionStart(file, "log");
    RLZFileWriteHashStart(file);
    RLZFileWriteHashEntryHexEncodedString(file, "msg", text.c_str());
    RLZFileWriteHashEntryUint64(file, "time", millis);
    RLZFileWriteHashEnd(file);
    RLZFileWriteSectionEnd(file);
  });
}

// ---- Errors ----

void RLZUserLoggingRecordError(const platform::Error* error, const platform::Value::Dictionary* additionalUserInfo) {
  if (!error || !RLZContextIsInitialized()) return;
  void* frames[128];
  const int count = backtrace(frames, 128);
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  RLZUserLoggingWriteAndCheckABFiles(
      &_rlzContext.readonly->logging.errorStorage, &_rlzContext.writable->logging.activeErrorLogPath,
      [&](RLZFile* file) {
        RLZFileWriteSectionStart(file, "error");
        RLZFileWriteHashStart(file);
        RLZFileWriteHashEntryHexEncodedString(file, "domain", error->domain().c_str());
        RLZFileWriteHashEntryInt64(file, "code", error->code());
        RLZFileWriteHashEntryUint64(file, "time", now);
        RLZFileWriteHashKey(file, "stacktrace");
        RLZFileWriteArrayStart(file);
        for (int i = 0; i < count; ++i) RLZFileWriteArrayEntryUint64(file, reinterpret_cast<uintptr_t>(frames[i]));
        RLZFileWriteArrayEnd(file);
        writeInfoArray(file, "info", error->userInfo());
        if (additionalUserInfo) writeInfoArray(file, "extra_info", *additionalUserInfo);
        RLZFileWriteHashEnd(file);
        RLZFileWriteSectionEnd(file);
      });
}

// ---- A/B files ----

void RLZUserLoggingWriteAndCheckABFiles(const RLZUserLoggingABStorage* storage, const char** activePath,
                                        const std::function<void(RLZFile*)>& writeBlock) {
  if (!storage || !activePath || !writeBlock) return;
  if (!readActivePath(activePath) || !isEnabled(storage)) return;
  runOnLoggingQueue([&] {
    // Read again here: a swap queued before this block may have replaced the path meanwhile.
    const char* path = readActivePath(activePath);
    RLZFile file;
    if (!RLZFileInitWithPathMode(&file, path, true, true)) {
      RLZSDKLogWarn("Unable to open log file\n");
      return;
    }
    writeBlock(&file);
    int64_t length = 0;
    RLZFileCloseWithOffset(&file, &length);
    if (!storage->restrictBySize && storage->entryCount) *storage->entryCount += 1;
    if (auto queue = RLZContextLoggingQueue()) {
      queue->async([storage, activePath, length] { RLZUserLoggingCheckAndSwapABFiles(storage, activePath, length); });
    }
  });
}

void RLZUserLoggingCheckAndSwapABFiles(const RLZUserLoggingABStorage* storage, const char** activePath,
                                       int64_t fileLength) {
  if (!storage || !activePath) return;
  if (!storage->restrictBySize) {
    if (!storage->entryCount) {
      RLZSDKLogError("Error: storage has invalid pointer, but is restricted by entry count\n");
      return;
    }
    if (*storage->entryCount < storage->maxEntries) return;
    *storage->entryCount = 0;
  } else if (fileLength <= static_cast<int64_t>(storage->maxSize)) {
    return;
  }
  const char* current = readActivePath(activePath);
  const char* next = current == storage->aPath ? storage->bPath : storage->aPath;
  RLZUnlinkIfExists(next);
  platform::MutexLock lock(abPathLock());
  *activePath = next;
}
