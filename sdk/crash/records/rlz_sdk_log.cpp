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

}  // namespace

void RLZSDKFileLog(uint32_t level, const char* format, ...) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  RLZWritableContext* writable = _rlzContext.writable;
  if (!RLZIsValidPointer(readonly) || !RLZIsValidPointer(writable) || !RLZIsValidPointer(readonly->logPath)) return;
  if (level < writable->internalLogging.logLevel) return;
  const int fd = logDescriptor(&writable->internalLogging, readonly->logPath);
  if (fd < 0) return;

  va_list args;
  va_start(args, format);
  for (const char* c = format; *c; ++c) {
    if (*c != '%' || c[1] == 0) {
      writeAll(fd, c, 1);
      continue;
    }
    const char conversion = *++c;
    switch (conversion) {
      case 'd': RLZFileFDWriteInt64(fd, va_arg(args, int)); break;
      case 'u': RLZFileFDWriteUInt64(fd, va_arg(args, unsigned), false); break;
      case 'x': RLZFileFDWriteUInt64(fd, va_arg(args, unsigned), true); break;
      case 'p':
        writeAll(fd, "0x", 2);
        RLZFileFDWriteUInt64(fd, reinterpret_cast<uintptr_t>(va_arg(args, void*)), true);
        break;
      case 's': {
        const char* text = va_arg(args, const char*);
        if (!text) text = "(null)";
        writeAll(fd, text, strlen(text));
        break;
      }
      default: writeAll(fd, c - 1, 2);
    }
  }
  va_end(args);
}
