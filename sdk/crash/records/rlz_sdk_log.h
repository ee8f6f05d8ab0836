// The signal-safe diagnostic log "sdk.log" of the current report directory. %d, %i, %u, %x (with
// optional l, ll or z), %c, %p and %s take an argument; widths are ignored.
#pragma once

#include <cstdint>

inline constexpr uint32_t RLZSDKLogLevelDebug = 1;
inline constexpr uint32_t RLZSDKLogLevelInfo = 2;
inline constexpr uint32_t RLZSDKLogLevelWarn = 3;
inline constexpr uint32_t RLZSDKLogLevelError = 4;

void RLZSDKFileLog(uint32_t level, const char* format, ...);

// While a crash is recorded, the recording thread's lines gather in a static buffer and go out a
// block of whole lines at a time: the unwinder's trace is a few thousand lines, and one write
// each was a large part of the crash path's time. Other threads' lines still go out at once. Begin
// gives false, and the caller must not end the batch, while another thread holds it (this
// thread's lines then stay unbuffered) or this thread already batches (its owner ends it).
bool RLZSDKLogBeginBatch();
// Writes what has gathered; the batch stays open. For a path about to die mid-record.
void RLZSDKLogFlushBatch();
void RLZSDKLogEndBatch();

#define RLZSDKLogDebug(format, ...) \
  RLZSDKFileLog(RLZSDKLogLevelDebug, "DEBUG [%s:%d] " format, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define RLZSDKLogInfo(format, ...) \
  RLZSDKFileLog(RLZSDKLogLevelInfo, "INFO  [%s:%d] " format, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define RLZSDKLogWarn(format, ...) \
  RLZSDKFileLog(RLZSDKLogLevelWarn, "WARN  [%s:%d] " format, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define RLZSDKLogError(format, ...) \
  RLZSDKFileLog(RLZSDKLogLevelError, "ERROR [%s:%d] " format, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
