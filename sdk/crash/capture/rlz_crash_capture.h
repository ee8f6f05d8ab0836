// Starting crash capture for a launch: the crash-time context for its report directory, then the
// signal, exception-port and terminate handlers (none when a debugger is attached). The crash
// reporter's start calls RLZCrashCaptureStart; the handlers run on the configuring thread so its
// alternate stack is the one replaced, and every thread started afterwards (and every dispatch
// pool thread) gets a stack of its own.
#pragma once

#include <memory>
#include <string>

class RLZSettings;

// False when the context cannot be set up; handlers are then left alone.
bool RLZCrashCaptureStart(const std::string& reportPath, const std::string& rootPath, const std::string& sessionId,
                          const std::shared_ptr<RLZSettings>& settings = nullptr);
// Installs the handlers for a context already set up; false when there is none or a debugger is
// attached. Installing again is harmless.
bool RLZCrashCaptureInstallHandlers();

// Whether this process's fatal paths are recorded now: read from any thread.
bool RLZCrashCaptureHandlersInPlace();

// Tests: puts the earlier signal actions, exception ports and terminate handler back.
void RLZCrashCaptureUninstallForTesting();
