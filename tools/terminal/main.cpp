// The focus timer on Linux: the app with its SDK stack, run in a terminal or from a script.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/console.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/home.h"
#include "platform/runloop/clock.h"
#include "platform/testing/testing.h"
#include "tools/terminal/interactive.h"
#include "tools/terminal/options.h"
#include "tools/terminal/raw_terminal.h"
#include "tools/terminal/script_runner.h"
#include "tools/terminal/session.h"

namespace {

// Scripts start on one fixed date, so that every run of a script sees the same days.
constexpr double kScriptStart = 1'780'000'000;

int runSession(const terminal::Options& options) {
  terminal::Session session(options);
  int status;
  if (options.script) {
    session.launch();
    terminal::ScriptRunner runner(session, std::cout);
    status = runner.runFile(*options.script, std::cerr);
    if (status == 0)
      std::cout << options.script->string() << ": passed, " << runner.expectsPassed() << " expectations held\n";
  } else {
    // Made first: from the launch on, nothing waits for the app's background queues longer than
    // the screen allows.
    terminal::InteractiveFrontEnd frontEnd(session);
    session.launch();
    status = frontEnd.run();
  }
  session.terminate();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  auto options = terminal::parseOptions(arguments, error);
  if (options && options->script) {
    // The script's header comes first, so that the command line can override it.
    std::vector<std::string> header;
    if (!terminal::readScriptHeader(*options->script, header, error)) {
      std::cerr << "focus-timer: " << error << "\n";
      return 2;
    }
    if (!header.empty()) {
      const std::string script = options->script->string();
      header.insert(header.end(), arguments.begin(), arguments.end());
      options = terminal::parseOptions(header, error);
      if (!options) error = script + ": " + error;
    }
  }
  if (!options) {
    std::cerr << "focus-timer: " << error << "\n\n" << terminal::usage();
    return 2;
  }
  if (options->help) {
    std::cout << terminal::usage();
    return 0;
  }
  if (!options->script && !terminal::RawTerminal::available()) {
    std::cerr
        << "focus-timer: the interactive session needs a terminal; run a session from a file with --script FILE\n";
    return 2;
  }

  platform::testing::becomeMainThread();
  // Time is virtual in both modes: the interactive loop moves it on with the real clock, at the
  // chosen speed, and skips ahead on request; a script moves it only by its waits.
  platform::testing::useManualClock(options->script ? platform::Date::fromTimeIntervalSince1970(kScriptStart)
                                                    : platform::RealClock().now());
  std::optional<platform::testing::TemporaryHome> scratchHome;
  if (options->home) {
    std::error_code ec;
    std::filesystem::path home = std::filesystem::absolute(*options->home, ec);
    if (ec) {
      std::cerr << "focus-timer: cannot use " << options->home->string() << " as the home: " << ec.message() << "\n";
      return 2;
    }
    ::setenv("FOCUS_HOME", home.c_str(), 1);
    platform::Home::set(home);
  } else if (options->script) {
    // A script never touches the user's own data.
    scratchHome.emplace();
  }
  // The interactive screen is the front end's: console lines go to its pane, not over it, and
  // what the app's libraries print on standard error goes to a log file in the home.
  platform::Console::setEchoToTerminal(options->script && options->verbose);
  std::optional<terminal::StandardErrorToFile> standardError;
  if (!options->script) {
    // Before the app starts: its crash reporter then finds the terminal's handlers in place and
    // chains to them, instead of taking them for a foreign handler that displaced its own.
    terminal::RawTerminal::installSignalHandlers();
    standardError.emplace(platform::Home::library() / "Logs" / std::string(terminal::kStandardErrorLogName));
  }

  try {
    return runSession(*options);
  } catch (const platform::Exception& e) {
    standardError.reset();  // the screen is given back by now: this line is the user's
    std::cerr << "focus-timer: " << e.name() << ": " << e.reason() << "\n";
  } catch (const std::exception& e) {
    standardError.reset();
    std::cerr << "focus-timer: " << e.what() << "\n";
  }
  return 2;
}
