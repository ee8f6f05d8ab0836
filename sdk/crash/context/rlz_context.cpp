#include "sdk/crash/context/rlz_context.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dyld/dyld.h"
#include "platform/foundation/home.h"
#include "sdk/crash/context/rlz_binary_image.h"
#include "sdk/crash/context/rlz_user_logging.h"
#include "sdk/crash/context/rlz_host.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/records/rlz_allocator.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/records/rlz_sdk_log.h"
#include "sdk/crash/settings/rlz_settings.h"

namespace {

struct Queues {
  std::shared_ptr<platform::DispatchQueue> logging;
  std::shared_ptr<platform::DispatchQueue> binaryImages;
  std::shared_ptr<platform::DispatchQueue> exception;
};

Queues& queues() {
  static Queues q;
  return q;
}

// Whether a tracer (a debugger) is attached: its process id in /proc/self/status.
bool isDebuggerAttached() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "TracerPid:") {
      long pid = 0;
      status >> pid;
      return pid != 0;
    }
    status.ignore(4096, '\n');
  }
  return false;
}

void resetRecord(const char* path) {
  if (!RLZUnlinkIfExists(path)) RLZSDKLogWarn("Unable to reset %s\n", path);
}

void writeIdentity(RLZFile* file, const RLZContextInitData& initData) {
  const std::string generator = RLZGeneratorName();
  const std::string version = RLZSDKVersion();
  RLZFileWriteSectionStart(file, "identity");
  RLZFileWriteHashStart(file);
  RLZFileWriteHashEntryString(file, "generator", generator.c_str());
  RLZFileWriteHashEntryString(file, "display_version", version.c_str());
  RLZFileWriteHashEntryString(file, "build_version", version.c_str());
  RLZFileWriteHashEntryUint64(file, "started_at", static_cast<uint64_t>(time(nullptr)));
  RLZFileWriteHashEntryString(file, "session_id", initData.sessionId);
  RLZFileWriteHashEntryString(file, "install_id", "");
  RLZFileWriteHashEntryString(file, "beta_token", initData.betaToken ? initData.betaToken : "");
  RLZFileWriteHashEntryBoolean(file, "absolute_log_timestamps", true);
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
}

void writeApplication(RLZFile* file) {
  const std::string bundleId = RLZApplicationGetBundleIdentifier();
  const std::string build = RLZApplicationGetBundleVersion();
  const std::string display = RLZApplicationGetShortBundleVersion();
  const auto extension = RLZApplicationExtensionPointIdentifier();
  RLZFileWriteSectionStart(file, "application");
  RLZFileWriteHashStart(file);
  RLZFileWriteHashEntryString(file, "bundle_id", bundleId.c_str());
  RLZFileWriteHashEntryString(file, "custom_bundle_id", nullptr);
  RLZFileWriteHashEntryString(file, "build_version", build.c_str());
  RLZFileWriteHashEntryString(file, "display_version", display.c_str());
  RLZFileWriteHashEntryString(file, "extension_id", extension ? extension->c_str() : nullptr);
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
}

}  // namespace

std::shared_ptr<platform::DispatchQueue> RLZContextLoggingQueue() { return queues().logging; }
std::shared_ptr<platform::DispatchQueue> RLZContextBinaryImageQueue() { return queues().binaryImages; }
std::shared_ptr<platform::DispatchQueue> RLZContextExceptionQueue() { return queues().exception; }

RLZContextInitData RLZContextBuildInitData(const RLZContextInitStrings& strings, const RLZSettings* settings) {
  RLZContextInitData data{};
  data.customBundleId = nullptr;
  data.reportPath = strings.reportPath.empty() ? nullptr : strings.reportPath.c_str();
  data.rootPath = strings.rootPath.c_str();
  data.sessionId = strings.sessionId.c_str();
  data.betaToken = "";
  data.errorReportingEnabled = settings ? settings->errorReportingEnabled() : true;
  data.maxCustomExceptions = settings ? settings->maxCustomExceptions() : 8;
  data.maxLogSize = settings ? settings->logBufferSize() : 64000;
  data.maxKeyValues = settings ? settings->maxCustomKeys() : 64;
  return data;
}

bool RLZContextInitialize(const std::string& reportPath, const std::string& sessionId,
                          const std::shared_ptr<RLZSettings>& settings,
                          const std::shared_ptr<RLZFileManager>& fileManager) {
  const RLZContextInitStrings strings{reportPath, fileManager ? fileManager->rootPath() : std::string(), sessionId};
  return RLZContextInitializeWithData(RLZContextBuildInitData(strings, settings.get()));
}

void RLZContextBaseInit() {
  auto& q = queues();
  const std::string prefix = RLZApplicationGetSDKBundleID();
  if (!q.logging) {
    q.logging = platform::DispatchQueue::serial(prefix + ".logging");
    q.binaryImages = platform::DispatchQueue::serial(prefix + ".binary-images");
    q.exception = platform::DispatchQueue::serial(prefix + ".exception");
  }
  RLZAllocator* allocator =
      RLZAllocatorCreate(2 * RLZContextStackSize + sizeof(RLZWritableContext), sizeof(RLZReadOnlyContext));
  _rlzContext.allocator = allocator;
  auto* readonly = static_cast<RLZReadOnlyContext*>(
      RLZAllocatorSafeAllocate(allocator, sizeof(RLZReadOnlyContext), RLZAllocatorRegionReadable));
  memset(readonly, 0, sizeof *readonly);
  readonly->signalStack = RLZAllocatorSafeAllocate(allocator, RLZContextStackSize, RLZAllocatorRegionWritable);
  readonly->machStack = RLZAllocatorSafeAllocate(allocator, RLZContextStackSize, RLZAllocatorRegionWritable);
  memset(readonly->signalStack, 0, RLZContextStackSize);
  memset(readonly->machStack, 0, RLZContextStackSize);
  auto* writable = static_cast<RLZWritableContext*>(
      RLZAllocatorSafeAllocate(allocator, sizeof(RLZWritableContext), RLZAllocatorRegionWritable));
  memset(writable, 0, sizeof *writable);
  writable->internalLogging.logFd = -1;
  writable->internalLogging.logLevel = RLZSDKLogLevelDebug;
  writable->crashOccurred = false;
  writable->binaryImage.file.fd = -1;
  readonly->initialized = false;
  _rlzContext.readonly = readonly;
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  _rlzContext.writable = writable;
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

const char* RLZContextAppendToRoot(const char* directory, const char* fileName) {
  const std::string path = (std::filesystem::path(directory) / fileName).string();
  return RLZDupString(path.c_str());
}

bool RLZContextInitializeWithData(const RLZContextInitData& initData) {
  RLZContextBaseInit();
  if (!initData.reportPath) return false;
  RLZReadOnlyContext* readonly = _rlzContext.readonly;
  RLZWritableContext* writable = _rlzContext.writable;

  readonly->logPath = RLZContextAppendToRoot(initData.reportPath, "sdk.log");
  readonly->reportPath = RLZDupString(initData.reportPath);
  if (!RLZUnlinkIfExists(readonly->logPath)) {
    RLZErrorLog("Unable to write initialize SDK write paths %s", std::string(strerror(errno)));
  }
  readonly->debuggerAttached = isDebuggerAttached();
  RLZUserLoggingInit(initData.reportPath,
                     {initData.maxLogSize, initData.maxKeyValues, initData.maxCustomExceptions,
                      initData.errorReportingEnabled},
                     &readonly->logging, &writable->logging);

  // The init record's strings belong to the caller: the group's work gets its own copies.
  const RLZContextInitData data = initData;
  const std::string rootPath = initData.rootPath ? initData.rootPath : "";
  const std::string reportPath = initData.reportPath;
  const std::string sessionId = initData.sessionId ? initData.sessionId : "";

  auto group = platform::DispatchGroup::make();
  auto global = platform::DispatchQueue::global();
  group->async(global, [readonly] {
    RLZHostInitialize(&readonly->host);
  });
  group->async(global, [readonly, writable, reportPath] {
    readonly->binaryImage.path = RLZContextAppendToRoot(reportPath.c_str(), "binary_images.rlzrecord");
    RLZBinaryImageInit(&readonly->binaryImage, writable);
  });
  group->async(global, [readonly, rootPath] {
    readonly->previouslyCrashedFileFullPath =
        RLZContextAppendToRoot(rootPath.c_str(), std::string(kRLZPreviouslyCrashedFileName).c_str());
  });
  if (!readonly->debuggerAttached) {
    group->async(global, [readonly, reportPath] {
      readonly->signal.path = RLZContextAppendToRoot(reportPath.c_str(), "signal.rlzrecord");
      resetRecord(readonly->signal.path);
    });
    group->async(global, [readonly, reportPath] {
      readonly->machException.path = RLZContextAppendToRoot(reportPath.c_str(), "mach_exception.rlzrecord");
      resetRecord(readonly->machException.path);
    });
    group->async(global, [readonly, reportPath] {
      readonly->exception.path = RLZContextAppendToRoot(reportPath.c_str(), "exception.rlzrecord");
      resetRecord(readonly->exception.path);
    });
  } else {
    RLZSDKLogWarn("Debugger present - not installing handlers\n");
  }
  group->async(global, [data, rootPath, reportPath, sessionId] {
    RLZContextInitData copy = data;
    copy.rootPath = rootPath.c_str();
    copy.reportPath = reportPath.c_str();
    copy.sessionId = sessionId.c_str();
    RLZContextRecordMetadata(reportPath.c_str(), copy);
  });
  RLZAllocator* allocator = _rlzContext.allocator;
  group->notify(global, [readonly, allocator] {
    __atomic_store_n(&readonly->initialized, true, __ATOMIC_SEQ_CST);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (!RLZAllocatorProtect(allocator)) RLZSDKLogWarn("Error: Memory protection failed\n");
  });
  if (!group->wait(5.0)) RLZSDKLogWarn("Error: Delayed initialization\n");
  return true;
}

bool RLZContextRecordMetadata(const char* reportPath, const RLZContextInitData& initData) {
  const std::string path = (std::filesystem::path(reportPath) / "metadata.rlzrecord").string();
  if (!RLZUnlinkIfExists(path.c_str())) RLZSDKLogWarn("Unable to unlink existing metadata file %s\n", strerror(errno));
  RLZFile file;
  if (!RLZFileInitWithPath(&file, path.c_str(), false)) {
    RLZSDKLogWarn("Unable to open metadata file %s\n", path.c_str());
    RLZSDKLogWarn("Unable to record context metadata\n");
    return false;
  }
  writeIdentity(&file, initData);
  RLZHostRecord(&file);
  writeApplication(&file);
  if (!RLZBinaryImageRecordMainExecutable(&file)) RLZSDKLogWarn("Unable to write out executable metadata\n");
  RLZFileClose(&file);
  return true;
}

void RLZContextResetForTesting() {
  platform::dyld::unregisterAllCallbacksForTesting();
  if (auto queue = queues().binaryImages) queue->sync([] {});
  RLZWritableContext* writable = _rlzContext.writable;
  if (writable && RLZFileIsOpen(&writable->binaryImage.file)) RLZFileClose(&writable->binaryImage.file);
  if (writable && writable->internalLogging.logFd >= 0) close(writable->internalLogging.logFd);
  _rlzContext = {nullptr, nullptr, nullptr};
}
