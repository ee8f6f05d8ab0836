// What the handlers keep between set-up and a crash: the earlier signal actions and alternate
// stack, the Mach server's port and the earlier exception ports, the earlier terminate handler.
// Written once while handlers are installed (ordinary code), read at crash time.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <exception>

#include "platform/mach/exception_ports.h"

struct RLZFile;

inline constexpr int RLZSignalCount = 7;
// The handled signals, in the order every walk over them uses. Host numbers (SIGBUS is 7 here).
inline constexpr int RLZFatalSignals[RLZSignalCount] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP};

struct RLZSignalState {
  struct sigaction savedActions[RLZSignalCount];
  stack_t savedAltStack;
  bool haveSavedAltStack;
  pid_t configuringThread;  // the thread whose alternate stack was replaced
};

struct RLZMachSavedPorts {
  uint32_t count;
  platform::mach::ExceptionMask masks[platform::mach::kExceptionTypesCount];
  platform::mach::MachPort ports[platform::mach::kExceptionTypesCount];
  int behaviors[platform::mach::kExceptionTypesCount];
  int flavors[platform::mach::kExceptionTypesCount];
};

struct RLZMachState {
  platform::mach::MachPort port;
  pthread_t thread;
  platform::mach::ExceptionMask mask;
  RLZMachSavedPorts savedPorts;
};

struct RLZCaptureState {
  RLZSignalState signal;
  RLZMachState mach;
  std::terminate_handler previousTerminate;
  // Up while the first crashing path records; a later crash waits for it instead of cutting it short.
  std::atomic<bool> recording;
  std::atomic<pid_t> recorder;  // the thread recording a signal
  // The record being written, whose buffered tail a fault inside the recording still writes out.
  std::atomic<RLZFile*> openRecord;
};

RLZCaptureState& RLZCaptureStateShared();
// For a path that lost the crash latch: waits while the winner records (the process normally
// dies by the winner's signal meanwhile), then leaves with status 1.
[[noreturn]] void RLZCaptureExitAfterLostLatch();
