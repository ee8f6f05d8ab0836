#include "sdk/crash/records/rlz_sdk_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_file.h"

namespace {

constexpr int32_t kOpening = -2;

void writeAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written <= 0) return;
    bytes += written;
    length -= static_cast<size_t>(written);
  }
}

// The log is opened by the first line of the process's context; a racing caller that loses the
// claim drops its line rather than wait.
int32_t logDescriptor(RLZInternalLoggingWritableContext* logging, const char* path) {
  int32_t fd = __atomic_load_n(&logging->logFd, __ATOMIC_SEQ_CST);
  if (fd != -1) return fd;
  int32_t expected = -1;
  if (!__atomic_compare_exchange_n(&logging->logFd, &expected, kOpening, false, __ATOMIC_SEQ_CST,
                                   __ATOMIC_SEQ_CST)) {
    return expected;
  }
  fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  __atomic_store_n(&logging->logFd, fd < 0 ? kOpening : fd, __ATOMIC_SEQ_CST);
  return fd;
}

// The batch of the recording thread; claimed through `g_batchClaimed`, so only one thread fills it.
constexpr size_t kBatchCapacity = 32768;
char g_batch[kBatchCapacity];
size_t g_batchLength = 0;
bool g_batchClaimed = false;
thread_local constinit bool t_batching = false;

void flushBatch(int fd) {
  if (g_batchLength > 0 && fd >= 0) writeAll(fd, g_batch, g_batchLength);
  g_batchLength = 0;
}

int openDescriptor() {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  RLZWritableContext* writable = _rlzContext.writable;
  if (!RLZIsValidPointer(readonly) || !RLZIsValidPointer(writable) || !RLZIsValidPointer(readonly->logPath)) return -1;
  return logDescriptor(&writable->internalLogging, readonly->logPath);
}

struct Line {
  char bytes[1024];
  size_t length = 0;

  void put(const char* text, size_t count) {
    if (count > sizeof bytes - length) count = sizeof bytes - length;
    memcpy(bytes + length, text, count);
    length += count;
  }
  void putUnsigned(uint64_t value, bool hex) {
    char buffer[RLZFileNumberBufferSize] = {};
    const char* digits = RLZFileUInt64ToString(value, buffer, hex);
    put(digits, strlen(digits));
  }
  void putSigned(int64_t value) {
    if (value < 0) put("-", 1);
    putUnsigned(value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value), false);
  }
};

}  // namespace

void RLZSDKFileLog(uint32_t level, const char* format, ...) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  RLZWritableContext* writable = _rlzContext.writable;
  if (!RLZIsValidPointer(readonly) || !RLZIsValidPointer(writable) || !RLZIsValidPointer(readonly->logPath)) return;
  if (level < writable->internalLogging.logLevel) return;
  const int fd = logDescriptor(&writable->internalLogging, readonly->logPath);
  if (fd < 0) return;

  // One line goes out in one write (a batch writes whole lines too), so lines of racing threads
  // never interleave.
  Line line;
  va_list args;
  va_start(args, format);
  for (const char* c = format; *c; ++c) {
    if (*c != '%' || c[1] == 0) {
      line.put(c, 1);
      continue;
    }
    // Every argument takes one 64-bit slot; only d, u, x, p and s take one. Any other pair
    // ("%%", "%l", "%z", "%i", ...) is written as it stands, so a format the walk does not know
    // can never read an argument of the wrong kind.
    ++c;
    switch (*c) {
      case 'd': line.putSigned(static_cast<int32_t>(va_arg(args, uint64_t))); break;
      case 'u': line.putUnsigned(static_cast<uint32_t>(va_arg(args, uint64_t)), false); break;
      case 'x': line.putUnsigned(static_cast<uint32_t>(va_arg(args, uint64_t)), true); break;
      case 'p':
        line.put("0x", 2);
        line.putUnsigned(reinterpret_cast<uintptr_t>(va_arg(args, void*)), true);
        break;
      case 's': {
        const char* text = va_arg(args, const char*);
        if (!text) text = "(null)";
        line.put(text, strlen(text));
        break;
      }
      default:
        line.put("%", 1);
        line.put(c, 1);
    }
  }
  va_end(args);
  if (!t_batching) {
    writeAll(fd, line.bytes, line.length);
    return;
  }
  if (g_batchLength + line.length > kBatchCapacity) flushBatch(fd);
  memcpy(g_batch + g_batchLength, line.bytes, line.length);
  g_batchLength += line.length;
}

bool RLZSDKLogBeginBatch() {
  if (t_batching) return false;
  if (__atomic_exchange_n(&g_batchClaimed, true, __ATOMIC_ACQUIRE)) return false;
  g_batchLength = 0;
  t_batching = true;
  return true;
}

void RLZSDKLogFlushBatch() {
  if (t_batching) flushBatch(openDescriptor());
}

void RLZSDKLogEndBatch() {
  if (!t_batching) return;
  flushBatch(openDescriptor());
  t_batching = false;
  __atomic_store_n(&g_batchClaimed, false, __ATOMIC_RELEASE);
}
