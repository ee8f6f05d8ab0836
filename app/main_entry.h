// The process's entry into the focus timer: SDK load hooks first, then the platform's application
// main with "AppDelegate". Front ends that drive the main loop themselves (scripted sessions,
// tests, benchmarks) use registerFocusApp and launchFocusApp instead.
#pragma once

#include <memory>

#include "platform/foundation/value.h"

namespace platform {
class Application;
}

// Registers the application delegate class and the main storyboard with the platform. Safe to
// call more than once; it replaces the storyboard with a fresh one.
void registerFocusApp();

// Runs the SDK load hooks, registers the app and launches it without running the main loop:
// the focus screen is loaded and the application active when this returns. Main thread.
// `launchOptions` are what the system hands the app (an opening URL, a continued activity).
std::shared_ptr<platform::Application> launchFocusApp(const platform::Value::Dictionary& launchOptions = {});

// Runs the app until it terminates; returns the process's exit status.
int focusAppMain(int argc, char** argv);
