// The app in a terminal: keys drive the phone and its screen, time passes on the manual clock at
// the chosen speed, and every frame draws the screen beside the side pane.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/terminal/key_reader.h"
#include "tools/terminal/script_runner.h"

namespace terminal {

class RawTerminal;
class Session;

// The speeds that + and - step through.
inline constexpr double kSpeeds[] = {0.5, 1, 2, 5, 10, 30, 60, 120, 300, 600, 1800, 3600};

// The next speed up (or down) from `speed`; the same at either end.
double nextSpeed(double speed, bool faster);

// One line naming the keys; the same on one or two lines for a terminal `width` wide.
std::string helpLine();
std::vector<std::string> helpLines(int width);

// Real seconds of a frame, and the longest the interactive session waits for the app's own
// background work at a time: it keeps drawing and taking keys whatever that work does.
inline constexpr double kInteractiveBackgroundWaitSeconds = 0.05;

class InteractiveFrontEnd {
 public:
  // Makes the session keep pace with the user (waiting for background work no longer than the
  // screen allows); made before the session launches, the first screen does not wait either.
  explicit InteractiveFrontEnd(Session& session);
  ~InteractiveFrontEnd();

  // Runs until the user quits; returns the exit status.
  int run();

  // What a key does (the loop hands each key here, on the main thread). Public for tests.
  void handleKey(const Key& key);
  bool quitRequested() const { return quit_; }
  const std::string& message() const { return message_; }
  const std::optional<std::string>& prompt() const { return prompt_; }
  double speed() const { return speed_; }
  bool isPaused() const { return paused_; }

 private:
  void handlePromptKey(const Key& key);
  void runCommand(const std::string& command);
  void skip(double seconds);
  void tapNumber(int number);
  void draw(RawTerminal& terminal, bool force);

  Session& session_;
  std::ostringstream commandOutput_;
  ScriptRunner runner_;
  double speed_;
  bool paused_ = false;
  bool quit_ = false;
  std::string message_;
  std::optional<std::string> prompt_;
  std::vector<std::string> shownRows_;
  int shownCols_ = 0;
};

}  // namespace terminal
