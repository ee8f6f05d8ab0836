#include "platform/mach/exception_ports.h"
#include "platform/foundation/thread_safety.h"

#include <cstring>
#include <deque>
#include <map>
#include <vector>

namespace platform::mach {

namespace {

constexpr MachPort kTaskPort = 0x203;

struct Port {
  std::deque<std::vector<uint8_t>> messages;
  bool sendRight = false;
};

struct Registration {
  MachPort port = kMachPortNull;
  int behavior = 0;
  int flavor = 0;
};

struct Kernel {
  platform::Mutex mutex;
  platform::ConditionVariable arrived;
  std::map<MachPort, Port> ports GUARDED_BY(mutex);
  MachPort nextName GUARDED_BY(mutex) = 0x1003;
  Registration table[kExceptionTypesCount] GUARDED_BY(mutex);
};

Kernel& kernel() {
  static Kernel* k = new Kernel;  // never destroyed: a server thread may still wait on it at exit
  return *k;
}

int enqueue(Kernel& k, MachPort port, const void* message, size_t size) REQUIRES(k.mutex) {
  auto it = k.ports.find(port);
  if (it == k.ports.end()) return kMachSendInvalidDestination;
  const auto* bytes = static_cast<const uint8_t*>(message);
  it->second.messages.emplace_back(bytes, bytes + size);
  k.arrived.notify_all();
  return kKernSuccess;
}

// Equal registrations are reported once, with their masks combined, as the phone's kernel does.
void collect(const Kernel& k, ExceptionMask mask, ExceptionMask* masks, uint32_t* count, MachPort* ports,
             int* behaviors, int* flavors) REQUIRES(k.mutex) {
  uint32_t n = 0;
  for (int type = 1; type < kExceptionTypesCount; ++type) {
    if (!(mask & exceptionMaskFor(type))) continue;
    const Registration& r = k.table[type];
    uint32_t i = 0;
    while (i < n && !(ports[i] == r.port && behaviors[i] == r.behavior && flavors[i] == r.flavor)) ++i;
    if (i == n) {
      if (n == kExceptionTypesCount) break;
      masks[n] = 0;
      ports[n] = r.port;
      behaviors[n] = r.behavior;
      flavors[n] = r.flavor;
      ++n;
    }
    masks[i] |= exceptionMaskFor(type);
  }
  *count = n;
}

}  // namespace

MachPort taskSelfPort() { return kTaskPort; }

int portAllocateReceive(MachPort* name) {
  if (!name) return kKernFailure;
  Kernel& k = kernel();
  platform::MutexLock lock(k.mutex);
  *name = k.nextName;
  k.nextName += 0x100;
  k.ports[*name];
  return kKernSuccess;
}

int portInsertSendRight(MachPort name) {
  Kernel& k = kernel();
  platform::MutexLock lock(k.mutex);
  auto it = k.ports.find(name);
  if (it == k.ports.end()) return kKernFailure;
  it->second.sendRight = true;
  return kKernSuccess;
}

int portDeallocate(MachPort name) {
  Kernel& k = kernel();
  platform::MutexLock lock(k.mutex);
  if (k.ports.erase(name) == 0) return kKernFailure;
  k.arrived.notify_all();
  return kKernSuccess;
}

int taskSwapExceptionPorts(MachPort task, ExceptionMask mask, MachPort port, int behavior, int flavor,
                           ExceptionMask* masks, uint32_t* count, MachPort* ports, int* behaviors, int* flavors) {
  if (task != kTaskPort || !masks || !count || !ports || !behaviors || !flavors) return kKernFailure;
  Kernel& k = kernel();
  platform::MutexLock lock(k.mutex);
  collect(k, mask, masks, count, ports, behaviors, flavors);
  for (int type = 1; type < kExceptionTypesCount; ++type) {
    if (mask & exceptionMaskFor(type)) k.table[type] = {port, behavior, flavor};
  }
  return kKernSuccess;
}

int taskSetExceptionPorts(MachPort task, ExceptionMask mask, MachPort port, int behavior, int flavor) {
  if (task != kTaskPort) return kKernFailure;
  Kernel& k = kernel();
  platform::MutexLock lock(k.mutex);
  for (int type = 1; type < kExceptionTypesCount; ++type) {
    if (mask & exceptionMaskFor(type)) k.table[type] = {port, behavior, flavor};
  }
  return kKernSuccess;
}

int taskGetExceptionPorts(MachPort task, ExceptionMask mask, ExceptionMask* masks, uint32_t* count, MachPort* ports,
                          int* behaviors, int* flavors) {
  if (task != kTaskPort || !masks || !count || !ports || !behaviors || !flavors) return kKernFailure;
  Kernel& k = kernel();
  platform::MutexLock lock(k.mutex);
  collect(k, mask, masks, count, ports, behaviors, flavors);
  return kKernSuccess;
}

int machMsgReceive(MachPort port, void* buffer, size_t size) {
  Kernel& k = kernel();
  platform::MutexLock lock(k.mutex);
  for (;;) {
    auto it = k.ports.find(port);
    if (it == k.ports.end()) return kMachRcvInvalidName;
    if (!it->second.messages.empty()) {
      std::vector<uint8_t> message = std::move(it->second.messages.front());
      it->second.messages.pop_front();
      memset(buffer, 0, size);
      memcpy(buffer, message.data(), message.size() < size ? message.size() : size);
      return kKernSuccess;
    }
    k.arrived.wait(lock);
  }
}

int machMsgSend(const void* message, size_t size) {
  if (!message || size < sizeof(MachMessageHeader)) return kKernFailure;
  MachMessageHeader header;
  memcpy(&header, message, sizeof header);
  Kernel& k = kernel();
  platform::MutexLock lock(k.mutex);
  return enqueue(k, header.remotePort, message, size);
}

int raiseException(ThreadPort thread, int exception, const int64_t* codes, uint32_t codeCount, MachPort task,
                   ExceptionReply* reply) {
  if (exception <= 0 || exception >= kExceptionTypesCount || codeCount > 2) return -1;
  Kernel& k = kernel();
  MachPort replyPort = kMachPortNull;
  {
    platform::MutexLock lock(k.mutex);
    const Registration handler = k.table[exception];
    if (handler.port == kMachPortNull || !k.ports.count(handler.port)) return -1;
    replyPort = k.nextName;
    k.nextName += 0x100;
    k.ports[replyPort];
    ExceptionRequest request;
    memset(&request, 0, sizeof request);
    request.header.bits = kMachMsgTypeMoveSendOnce | 0x80000000u;
    request.header.size = sizeof request;
    request.header.remotePort = handler.port;
    request.header.localPort = replyPort;
    request.header.id = kExceptionRaiseId;
    request.descriptorCount = 2;
    request.thread.name = thread;
    request.task.name = task;
    request.exception = exception;
    request.codeCount = codeCount;
    for (uint32_t i = 0; i < codeCount; ++i) request.code[i] = codes[i];
    enqueue(k, handler.port, &request, sizeof request);
  }
  ExceptionReply answer;
  const int received = machMsgReceive(replyPort, &answer, sizeof answer);
  portDeallocate(replyPort);
  if (received != kKernSuccess) return -1;
  if (reply) *reply = answer;
  return answer.returnCode;
}

void resetExceptionPortsForTesting() {
  Kernel& k = kernel();
  platform::MutexLock lock(k.mutex);
  for (Registration& r : k.table) r = {};
}

}  // namespace platform::mach
