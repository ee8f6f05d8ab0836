// Sets up the crash-time context for this launch's report directory: the crash reporter's queues,
// its guarded memory, the paths the handlers need, the image table and the metadata record.
// Set-up is ordinary code; what it leaves behind is used by crash-time code without locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {
class DispatchQueue;
}
class RLZSettings;
class RLZFileManager;

struct RLZContextInitData {
  const char* customBundleId;
  const char* reportPath;
  const char* rootPath;
  const char* sessionId;
  const char* betaToken;
  bool errorReportingEnabled;
  uint32_t maxCustomExceptions;
  uint32_t maxLogSize;
  uint32_t maxKeyValues;
};

// The strings the init record points at.
struct RLZContextInitStrings {
  std::string reportPath;
  std::string rootPath;
  std::string sessionId;
};

RLZContextInitData RLZContextBuildInitData(const RLZContextInitStrings& strings, const RLZSettings* settings);
// False without a report path (the queues and memory are made all the same), else true once set-up
// has finished or 5 seconds have passed.
bool RLZContextInitialize(const std::string& reportPath, const std::string& sessionId,
                          const std::shared_ptr<RLZSettings>& settings, const std::shared_ptr<RLZFileManager>& fileManager);
bool RLZContextInitializeWithData(const RLZContextInitData& initData);
void RLZContextBaseInit();
const char* RLZContextAppendToRoot(const char* directory, const char* fileName);
bool RLZContextRecordMetadata(const char* reportPath, const RLZContextInitData& initData);

std::shared_ptr<platform::DispatchQueue> RLZContextLoggingQueue();
std::shared_ptr<platform::DispatchQueue> RLZContextBinaryImageQueue();
std::shared_ptr<platform::DispatchQueue> RLZContextExceptionQueue();

// Tests: drops the context (its memory is left mapped, as crash handlers of other tests may
// still hold pointers) and unregisters the loader callbacks.
void RLZContextResetForTesting();
