// Uncaught exceptions: the terminate handler finds the exception in flight, records it with the
// crash state into "exception.rlzrecord", then runs the earlier terminate handler and aborts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct RLZCaptureState;
struct RLZFile;

inline constexpr int RLZExceptionTypeObjectiveC = 1;
inline constexpr int RLZExceptionTypeCpp = 2;
inline constexpr int RLZExceptionTypeCustom = 4;

// A frame of a recorded exception; null texts are left out of the record.
struct RLZExceptionFrame {
  uint64_t address;
  const char* symbol;
  uint64_t offset;
  const char* library;
  const char* fileName;
  uint32_t lineNumber;
};

void RLZExceptionInitialize(RLZCaptureState* state);
[[noreturn]] void RLZTerminateHandler();
void RLZCatchAndRecordActiveException();
void RLZExceptionRecord(int type, const char* name, const char* reason, const RLZExceptionFrame* frames,
                        uint32_t frameCount);
void RLZExceptionWrite(RLZFile* file, int type, const char* name, const char* reason, const RLZExceptionFrame* frames,
                       uint32_t frameCount);
// An on-demand exception: a copy of the current report (with the custom exceptions recorded so
// far, which leave the current one) gets the exception, the crash state and the on-demand counts.
// The copy's directory, or none. Runs on the caller's thread.
std::optional<std::string> RLZExceptionRecordOnDemand(int type, const char* name, const char* reason,
                                                      const RLZExceptionFrame* frames, uint32_t frameCount, bool fatal,
                                                      int recordedCount, int droppedCount);
void RLZExceptionCheckHandlers();
