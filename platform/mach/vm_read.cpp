#include "platform/mach/vm_read.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace platform::mach {

bool vmReadOverwrite(const void* source, void* destination, std::size_t length) {
  if (length == 0) return true;
  iovec local{destination, length};
  iovec remote{const_cast<void*>(source), length};
  const int saved = errno;
  const ssize_t read = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  errno = saved;
  return read == static_cast<ssize_t>(length);
}

}  // namespace platform::mach
