// The exception-port server: takes over the task's exception ports for five types, records an
// exception with the crash state into "mach_exception.rlzrecord" on its own thread, puts the
// earlier ports and signal handlers back and replies so the earlier handlers get it next.
#pragma once

#include <cstdint>

#include "platform/mach/exception_ports.h"

struct RLZMachState;
struct RLZMachSavedPorts;

inline constexpr platform::mach::ExceptionMask RLZMachExceptionMask = 0x104E;

struct RLZMachExceptionName {
  const char* name;
  const char* codeName;
};
RLZMachExceptionName RLZMachExceptionNameLookup(int64_t type, int64_t code);

bool RLZMachExceptionInit(RLZMachState* machContext);
bool RLZMachExceptionRegister(RLZMachState* machContext);
bool RLZMachExceptionThreadStart(RLZMachState* machContext);
void* RLZMachExceptionServer(void* machContext);
// Returns the reply's code: 0 when recorded, 5 otherwise.
int32_t RLZMachExceptionDispatchMessage(RLZMachState* machContext, const platform::mach::ExceptionRequest* message);
bool RLZMachExceptionRecord(RLZMachState* machContext, const platform::mach::ExceptionRequest* message);
bool RLZMachExceptionReply(const platform::mach::ExceptionRequest* message, int32_t code);
bool RLZMachExceptionUnregister(const RLZMachSavedPorts* savedPorts, platform::mach::ExceptionMask mask);
void RLZMachExceptionCheckHandlers();
