// The phone's exception ports, emulated in-process: port names with message queues, the task's
// exception-port table and the exception-raise message with 64-bit codes. The kernel never raises
// such exceptions here; tests play it with raiseException, which sends the request to the port
// registered for the type and blocks for the reply, as a faulting thread would.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/mach/thread_state.h"

namespace platform::mach {

using MachPort = uint32_t;
using ExceptionMask = uint32_t;

inline constexpr MachPort kMachPortNull = 0;
inline constexpr int kExceptionTypesCount = 14;
inline constexpr int kExcBadAccess = 1;
inline constexpr int kExcBadInstruction = 2;
inline constexpr int kExcArithmetic = 3;
inline constexpr int kExcBreakpoint = 6;
inline constexpr int kExcGuard = 12;
inline constexpr ExceptionMask exceptionMaskFor(int type) { return 1u << type; }
inline constexpr int kExceptionDefault = 1;
inline constexpr int kMachExceptionCodes = static_cast<int>(0x80000000u);
inline constexpr int kThreadStateNone = 5;
inline constexpr uint32_t kMachMsgTypeMoveSendOnce = 18;
inline constexpr int kMachRcvInvalidName = 0x10004002;
inline constexpr int kMachSendInvalidDestination = 0x10000003;
inline constexpr int kExceptionRaiseId = 2405;  // the 64-bit-code request; its reply is id + 100

#pragma pack(push, 4)
struct MachMessageHeader {
  uint32_t bits;
  uint32_t size;
  MachPort remotePort;
  MachPort localPort;
  uint32_t voucherPort;
  int32_t id;
};
struct MachPortDescriptor {
  MachPort name;
  uint32_t pad1;
  uint32_t disposition;  // pad2:16, disposition:8, type:8 on the phone; only the name matters here
};
struct MachNDRRecord {
  uint8_t bytes[8];
};
struct ExceptionRequest {
  MachMessageHeader header;
  uint32_t descriptorCount;
  MachPortDescriptor thread;
  MachPortDescriptor task;
  MachNDRRecord ndr;
  int32_t exception;
  uint32_t codeCount;
  int64_t code[2];
};
struct ExceptionReply {
  MachMessageHeader header;
  MachNDRRecord ndr;
  int32_t returnCode;
};
#pragma pack(pop)
static_assert(sizeof(ExceptionReply) == 36);
// The receive buffer's size: the request and the trailer the kernel appends.
inline constexpr size_t kExceptionRequestBufferSize = 92;
static_assert(sizeof(ExceptionRequest) <= kExceptionRequestBufferSize);

MachPort taskSelfPort();
int portAllocateReceive(MachPort* name);
int portInsertSendRight(MachPort name);
int portDeallocate(MachPort name);

int taskSwapExceptionPorts(MachPort task, ExceptionMask mask, MachPort port, int behavior, int flavor,
                           ExceptionMask* masks, uint32_t* count, MachPort* ports, int* behaviors, int* flavors);
int taskSetExceptionPorts(MachPort task, ExceptionMask mask, MachPort port, int behavior, int flavor);
int taskGetExceptionPorts(MachPort task, ExceptionMask mask, ExceptionMask* masks, uint32_t* count, MachPort* ports,
                          int* behaviors, int* flavors);

// Blocks until a message arrives on `port` (kMachRcvInvalidName once the port is gone).
int machMsgReceive(MachPort port, void* buffer, size_t size);
// Sends to the message's remote port.
int machMsgSend(const void* message, size_t size);

// The kernel's side. The reply's return code, or -1 when no handler is registered for the type.
// `task` defaults to this task; another value plays a foreign task's exception.
int raiseException(ThreadPort thread, int exception, const int64_t* codes, uint32_t codeCount,
                   MachPort task = taskSelfPort(), ExceptionReply* reply = nullptr);
// Tests: forgets every port and registration.
void resetExceptionPortsForTesting();

}  // namespace platform::mach
