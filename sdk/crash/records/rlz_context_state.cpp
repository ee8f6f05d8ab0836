#include "sdk/crash/records/rlz_context_state.h"

#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_sdk_log.h"

RLZContext _rlzContext = {nullptr, nullptr, nullptr};

bool RLZContextIsInitialized() {
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  return RLZIsValidPointer(readonly) && __atomic_load_n(&readonly->initialized, __ATOMIC_SEQ_CST);
}

bool RLZContextMarkAndCheckIfCrashed() {
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  RLZWritableContext* writable = _rlzContext.writable;
  if (!RLZIsValidPointer(writable)) return false;
  return __atomic_exchange_n(&writable->crashOccurred, true, __ATOMIC_SEQ_CST);
}

void RLZCreateCrashedMarkerFile() {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  RLZFile file;
  if (RLZIsValidPointer(readonly) && RLZFileInitWithPath(&file, readonly->previouslyCrashedFileFullPath, false)) {
    RLZFileClose(&file);
    RLZSDKLogWarn("Created the crashed marker file\n");
  } else {
    RLZSDKLogWarn("Unable to create the crashed marker file\n");
  }
}
