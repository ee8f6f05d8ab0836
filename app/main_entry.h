// The process's entry into the focus timer: SDK load hooks first, then the platform's application
// main with "AppDelegate". Front ends that drive the main loop themselves (scripted sessions,
// tests, benchmarks) use registerFocusApp and launchFocusApp instead.
#pragma once

#include <memory>

namespace platform {
class Application;
}

// Registers the application delegate class and the main storyboard with the platform. Safe to
// call more than once; it replaces the storyboard with a fresh one.
void registerFocusApp();

// Runs the SDK load hooks, registers the app and launches it without running the main loop:
// the focus screen is loaded and the application active when this returns. Main thread.
std::shared_ptr<platform::Application> launchFocusApp();

// Runs the app until it terminates; returns the process's exit status.
int focusAppMain(int argc, char** argv);
