#include "sdk/crash/capture/rlz_exception.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <typeinfo>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/mach/thread_state.h"
#include "sdk/crash/capture/rlz_capture_state.h"
#include "sdk/crash/capture/rlz_process.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

std::string demangle(const char* mangled) {
  if (!mangled) return "";
  int status = 0;
  char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  if (status != 0 || !readable) return mangled;
  std::string result(readable);
  free(readable);
  return result;
}

const char* typeName(int type) {
  switch (type) {
    case RLZExceptionTypeObjectiveC: return "objective-c";
    case RLZExceptionTypeCpp: return "c++";
    case RLZExceptionTypeCustom: return "custom";
    default: return "unknown";
  }
}

void recordFatal(int type, const char* name, const char* reason, const RLZExceptionFrame* frames, uint32_t count,
                 platform::mach::ThreadPort thrower) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  RLZFile file;
  char buffer[RLZFileWriteBufferSize];
  if (!RLZFileInitWithPathModeAndBuffer(&file, readonly->exception.path, true, buffer)) {
    RLZSDKLogWarn("Unable to open exception file\n");
    return;
  }
  RLZExceptionWrite(&file, type, name, reason, frames, count);
  RLZRecordCrashState(&file, thrower, nullptr, true);
  RLZFileClose(&file);
}

void logHandlerOwner(const char* format, const void* handler) {
  Dl_info info{};
  if (!dladdr(handler, &info)) {
    RLZWarningLog(format, std::string("(null)"), std::string("(null)"));
    return;
  }
  RLZWarningLog(format, std::string(info.dli_sname ? info.dli_sname : "unknown"),
                std::string(info.dli_fname ? info.dli_fname : "unknown"));
}

}  // namespace

void RLZExceptionInitialize(RLZCaptureState* state) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  if (RLZIsValidPointer(readonly) && !RLZUnlinkIfExists(readonly->exception.path)) {
    RLZSDKLogWarn("Unable to reset the exception file %s\n", strerror(errno));
  }
  const std::terminate_handler earlier = std::set_terminate(RLZTerminateHandler);
  // Installing twice keeps the first earlier handler.
  if (earlier != RLZTerminateHandler) state->previousTerminate = earlier;
}

void RLZTerminateHandler() {
  RLZSDKLogWarn("C++ terminate handler invoked\n");
  const std::terminate_handler original = RLZCaptureStateShared().previousTerminate;
  bool callOriginal = false;
  if (original == RLZTerminateHandler) {
    RLZSDKLogWarn("Error: original handler was set recursively\n");
  } else if (original) {
    RLZSDKLogWarn("restoring pre-existing handler\n");
    if (std::set_terminate(original) == original) {
      RLZSDKLogWarn("handler has already been restored, aborting\n");
      abort();
    }
    callOriginal = true;
  }
  RLZCatchAndRecordActiveException();
  if (callOriginal) {
    RLZSDKLogWarn("invoking pre-existing handler\n");
    original();
  }
  RLZSDKLogWarn("aborting\n");
  abort();
}

void RLZCatchAndRecordActiveException() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (!type) {
    RLZSDKLogWarn("no active exception\n");
    return;
  }
  RLZSDKLogWarn("Recording exception of type '%s'\n", type->name());
  const std::string typeText = demangle(type->name());
  try {
    throw;
  } catch (const platform::Exception& e) {
    RLZSDKLogWarn("Recording an NSException\n");
    RLZExceptionRecord(RLZExceptionTypeObjectiveC, e.name().c_str(), e.reason().c_str(), nullptr, 0);
  } catch (const char* text) {
    RLZExceptionRecord(RLZExceptionTypeCpp, "const char *", text ? text : "", nullptr, 0);
  } catch (const std::string& text) {
    RLZExceptionRecord(RLZExceptionTypeCpp, "std::string", text.c_str(), nullptr, 0);
  } catch (const std::bad_alloc& e) {
    RLZExceptionRecord(RLZExceptionTypeCpp, "std::bad_alloc", e.what(), nullptr, 0);
  } catch (const std::exception& e) {
    RLZExceptionRecord(RLZExceptionTypeCpp, demangle(typeid(e).name()).c_str(), e.what(), nullptr, 0);
  } catch (const std::exception* e) {
    RLZExceptionRecord(RLZExceptionTypeCpp, typeText.c_str(), e ? e->what() : "", nullptr, 0);
  } catch (...) {
    RLZExceptionRecord(RLZExceptionTypeCpp, typeText.c_str(), "", nullptr, 0);
  }
}

void RLZExceptionRecord(int type, const char* name, const char* reason, const RLZExceptionFrame* frames,
                        uint32_t frameCount) {
  if (!RLZContextIsInitialized()) return;
  const bool fatal = type == RLZExceptionTypeObjectiveC || type == RLZExceptionTypeCpp;
  RLZSDKLogWarn("Recording an exception structure (%d)\n", fatal ? 1 : 0);
  if (fatal) {
    const platform::mach::ThreadPort thrower = platform::mach::threadSelf();
    auto queue = RLZContextExceptionQueue();
    auto record = [&] { recordFatal(type, name, reason, frames, frameCount, thrower); };
    // Serialised with other fatal recordings, unless this is the exception queue itself.
    if (queue && !queue->isCurrent()) queue->sync(record);
    else record();
  }
  // Exception models of the public interface go to the custom-exception store, which a later
  // change brings; nothing is written for them yet.
  RLZSDKLogWarn("Finished recording an exception structure\n");
}

void RLZExceptionWrite(RLZFile* file, int type, const char* name, const char* reason, const RLZExceptionFrame* frames,
                       uint32_t frameCount) {
  RLZFileWriteSectionStart(file, "exception");
  RLZFileWriteHashStart(file);
  RLZFileWriteHashEntryString(file, "type", typeName(type));
  RLZFileWriteHashEntryHexEncodedString(file, "name", name ? name : "");
  RLZFileWriteHashEntryHexEncodedString(file, "reason", reason ? reason : "");
  RLZFileWriteHashEntryUint64(file, "time", static_cast<uint64_t>(time(nullptr)));
  if (frameCount > 0 && frames) {
    RLZFileWriteHashKey(file, "frames");
    RLZFileWriteArrayStart(file);
    for (uint32_t i = 0; i < frameCount; ++i) {
      const RLZExceptionFrame& frame = frames[i];
      RLZFileWriteHashStart(file);
      RLZFileWriteHashEntryUint64(file, "pc", frame.address);
      if (frame.symbol) RLZFileWriteHashEntryHexEncodedString(file, "symbol", frame.symbol);
      RLZFileWriteHashEntryUint64(file, "offset", frame.offset);
      if (frame.library) RLZFileWriteHashEntryHexEncodedString(file, "library", frame.library);
      if (frame.fileName) RLZFileWriteHashEntryHexEncodedString(file, "file", frame.fileName);
      RLZFileWriteHashEntryUint64(file, "line", frame.lineNumber);
      RLZFileWriteHashEnd(file);
    }
    RLZFileWriteArrayEnd(file);
  }
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
}

namespace {

// A new execution identifier: 32 lower-case hex digits.
std::string newExecutionIdentifier() {
  std::string identifier;
  for (char c : RLZGenerateUUID()) {
    if (c != '-') identifier.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return identifier;
}

void writeOnDemandCount(RLZFile* file, const char* key, int count) {
  const std::string value = std::to_string(count);
  RLZFileWriteSectionStart(file, "kv");
  RLZFileWriteHashStart(file);
  RLZFileWriteHashEntryHexEncodedString(file, "key", key);
  RLZFileWriteHashEntryHexEncodedString(file, "value", value.c_str());
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
}

}  // namespace

std::optional<std::string> RLZExceptionRecordOnDemand(int type, const char* name, const char* reason,
                                                      const RLZExceptionFrame* frames, uint32_t frameCount, bool fatal,
                                                      int recordedCount, int droppedCount) {
  namespace fs = std::filesystem;
  if (!RLZContextIsInitialized()) return std::nullopt;
  RLZSDKLogWarn("Recording an exception structure on demand\n");
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  const fs::path current(readonly->reportPath);
  // The current report lies in the active-reports directory.
  const fs::path copy = current.parent_path() / newExecutionIdentifier();
  std::error_code ec;
  fs::copy(current, copy, fs::copy_options::recursive, ec);
  if (ec) {
    RLZSDKLogWarn("Unable to create a new report to record on-demand exeption.");
    return std::nullopt;
  }
  // The custom exceptions recorded so far now belong to the copy only.
  const RLZUserLoggingABStorage& customExceptions = readonly->logging.customExceptionStorage;
  for (const char* path : {customExceptions.aPath, customExceptions.bPath}) {
    if (RLZIsValidPointer(path)) RLZUnlinkIfExists(path);
  }
  _rlzContext.writable->logging.customExceptionsCount = 0;

  RLZFile kv;
  const std::string kvPath = (copy / "internal_incremental_kv.rlzrecord").string();
  if (!RLZFileInitWithPathMode(&kv, kvPath.c_str(), true, true)) {
    RLZSDKLogError("Unable to open k-v file\n");
    return std::nullopt;
  }
  writeOnDemandCount(&kv, "com.ralitoze.on-demand.recorded-exceptions", recordedCount);
  writeOnDemandCount(&kv, "com.ralitoze.on-demand.dropped-exceptions", droppedCount);
  RLZFileClose(&kv);

  std::string target;
  if (fatal) {
    const std::string marker = (copy / "custom_fatal.rlzrecord").string();
    RLZFile markerFile;
    if (RLZFileInitWithPathMode(&markerFile, marker.c_str(), false, false)) {
      RLZFileClose(&markerFile);
    } else {
      RLZSDKLogWarn("Unable to create custom exception file. On demand exception will not be logged with analytics.");
    }
    target = (copy / "exception.rlzrecord").string();
  } else {
    target = (copy / "custom_exception_a.rlzrecord").string();
  }
  RLZFile file;
  if (!RLZFileInitWithPathMode(&file, target.c_str(), true, true)) {
    RLZSDKLogWarn("Unable to open log file for on demand custom exception\n");
    return std::nullopt;
  }
  RLZExceptionWrite(&file, type, name, reason, frames, frameCount);
  RLZRecordCrashState(&file, platform::mach::threadSelf(), nullptr, fatal);
  RLZFileClose(&file);
  RLZSDKLogWarn("Finished recording on demand exception structure\n");
  return copy.string();
}

void RLZExceptionCheckHandlers() {
  if (RLZProcessDebuggerAttached()) return;
  const std::terminate_handler current = std::get_terminate();
  if (current != RLZTerminateHandler) {
    logHandlerOwner("Warning: std::get_terminate is '%s' in '%s'", reinterpret_cast<const void*>(current));
  }
}
