// The language of scripted sessions: one command per line, run against a Session on virtual
// time. tools/terminal/README.md describes the commands. The interactive front end runs the same
// commands from its prompt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace terminal {

class Session;

// "90", "1.5", "90s", "5m", "1h", "5:00" (minutes and seconds), "1:02:03"; null for anything
// else, negative or beyond a year.
std::optional<double> parseDuration(std::string_view text);

class ScriptRunner {
 public:
  enum class Outcome {
    Ok,
    Failed,  // an expect did not hold
    Error,   // the command could not run (unknown, malformed, or the app refused it)
    Quit,
  };
  // With Ok, a message is a note on what happened instead (a tap on a disabled control).
  struct Result {
    Outcome outcome = Outcome::Ok;
    std::string message;
  };

  // Screenshots and echoes go to `out`.
  ScriptRunner(Session& session, std::ostream& out);

  // Runs one line; blank lines and lines starting with '#' do nothing.
  Result run(std::string_view line);

  // Runs a script file, reporting to `err` where and why it stopped. Returns the exit status: 0
  // when every command ran and every expect held, 1 when an expect failed, 2 when a command
  // could not run or the file could not be read.
  int runFile(const std::filesystem::path& file, std::ostream& err);

  // Trace events from here on are what `expect trace` looks at.
  void mark();
  int expectsPassed() const { return expectsPassed_; }

 private:
  Result expect(std::string_view what, std::string_view rest);
  Result expectOfView(std::string_view what, std::string_view rest);
  Result expectPending(std::string_view rest);
  Result expectCard(std::string_view what, std::string_view rest);
  void screenshot(std::ostream& out);

  Session& session_;
  std::ostream& out_;
  std::uint64_t traceMark_ = 0;
  int expectsPassed_ = 0;
};

}  // namespace terminal
