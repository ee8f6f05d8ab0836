// Reads of the process's own memory through the kernel, so that an unmapped or protected source
// is an error instead of a fault. Async-signal-safe: one system call, nothing allocated.
#pragma once

#include <cstddef>

namespace platform::mach {

// Copies `length` bytes from `source` into `destination`; false when any of them cannot be read.
bool vmReadOverwrite(const void* source, void* destination, std::size_t length);

}  // namespace platform::mach
