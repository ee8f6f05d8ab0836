// Shared rules of the crash-time code. Everything in this folder may run inside a signal handler
// or on a dying thread: no allocation after set-up, no locks, no exceptions, no stdio; output
// only through write(2).
#pragma once

#include <cstdint>

// Crash-time code treats any pointer value in the first page as null: a corrupted pointer there
// is far more likely than a real object.
inline bool RLZIsValidPointer(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer) >= 4096; }
