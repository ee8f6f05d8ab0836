#include "tools/terminal/interactive.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_thread.h"
#include "platform/foundation/format.h"
#include "platform/ui/screen.h"
#include "tools/terminal/frame.h"
#include "tools/terminal/raw_terminal.h"
#include "tools/terminal/session.h"

namespace terminal {

namespace {

// Real seconds between frames while nothing happens.
constexpr double kFrameSeconds = kInteractiveBackgroundWaitSeconds;
// A frame that took longer than this (a long skip, a slow terminal) does not make virtual time
// jump by as much: the session stays watchable.
constexpr double kLongestFrame = 0.25;
// Below this many points per cell the screen would only get emptier, not clearer.
constexpr double kNarrowestCell = 4;

std::string speedText(double speed) {
  std::string text(1, 'x');
  return text += platform::format("%g", speed);
}

}  // namespace

double nextSpeed(double speed, bool faster) {
  if (faster) {
    for (double s : kSpeeds) {
      if (s > speed + 1e-9) return s;
    }
    return std::max(speed, kSpeeds[std::size(kSpeeds) - 1]);
  }
  for (auto it = std::rbegin(kSpeeds); it != std::rend(kSpeeds); ++it) {
    if (*it < speed - 1e-9) return *it;
  }
  return std::min(speed, kSpeeds[0]);
}

std::string helpLine() {
  return "d/u/l/v/</>/^ poses  p play  r reset  1-9 tap  f/F/w +1/5/25 min  +/- speed  space stop  "
         "h hold  b background  x swipe  i/I/A type/paste/all  : cmd  q quit";
}

std::vector<std::string> helpLines(int width) {
  const std::string all = helpLine();
  if (displayWidth(all) <= width) return {all};
  // Two lines, broken between two key groups near the middle.
  std::size_t best = std::string::npos;
  for (auto at = all.find("  "); at != std::string::npos; at = all.find("  ", at + 2)) {
    if (best == std::string::npos || std::abs(static_cast<long>(at) - static_cast<long>(all.size() / 2)) <
                                         std::abs(static_cast<long>(best) - static_cast<long>(all.size() / 2))) {
      best = at;
    }
  }
  if (best == std::string::npos) return {all};
  return {all.substr(0, best), all.substr(best + 2)};
}

InteractiveFrontEnd::InteractiveFrontEnd(Session& session)
    : session_(session), runner_(session, commandOutput_), speed_(session.options().speed) {
  // A background queue that waits for another process (a database it holds) is not news for the
  // message line: the screen simply goes on.
  session_.keepPace(kFrameSeconds);
  session_.setOnBackgroundGiveUp({});
  message_ = "Welcome. Lay the phone face down (d) to start a period; ? explains the keys.";
}

InteractiveFrontEnd::~InteractiveFrontEnd() = default;

void InteractiveFrontEnd::skip(double seconds) {
  session_.advance(seconds);
  message_ = "Skipped " + platform::format("%g", seconds / 60) + " min.";
}

void InteractiveFrontEnd::tapNumber(int number) {
  std::string why;
  auto controls = session_.tappables();
  if (number < 1 || number > static_cast<int>(controls.size())) {
    message_ = "No control numbered " + std::to_string(number) + " on this screen.";
    return;
  }
  const std::string name = controls[static_cast<std::size_t>(number - 1)].name;
  message_ = session_.tap(std::to_string(number), why) && why.empty() ? "Tapped " + name + "." : why;
}

void InteractiveFrontEnd::runCommand(const std::string& command) {
  commandOutput_.str({});
  auto result = runner_.run(command);
  switch (result.outcome) {
    case ScriptRunner::Outcome::Ok: {
      if (!result.message.empty()) {
        message_ = result.message;
        break;
      }
      if (session_.isPressing() && command.rfind("press", 0) == 0) {
        message_ = "A finger holds " + session_.pressedName() + " while time passes; h lifts it.";
        break;
      }
      std::string printed = commandOutput_.str();
      while (!printed.empty() && printed.back() == '\n') printed.pop_back();
      const auto lastLine = printed.rfind('\n');
      message_ =
          printed.empty() ? "Done: " + command : printed.substr(lastLine == std::string::npos ? 0 : lastLine + 1);
      break;
    }
    case ScriptRunner::Outcome::Failed:
      message_ = "Expectation failed: " + result.message;
      break;
    case ScriptRunner::Outcome::Error:
      message_ = "Cannot do that: " + result.message;
      break;
    case ScriptRunner::Outcome::Quit:
      quit_ = true;
      break;
  }
}

void InteractiveFrontEnd::handlePromptKey(const Key& key) {
  switch (key.kind) {
    case Key::Kind::Enter: {
      std::string command = *prompt_;
      prompt_.reset();
      if (!command.empty()) runCommand(command);
      return;
    }
    case Key::Kind::Escape:
      prompt_.reset();
      message_.clear();
      return;
    case Key::Kind::Backspace: {
      auto& text = *prompt_;
      // Remove a whole UTF-8 character.
      while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
      if (!text.empty()) text.pop_back();
      return;
    }
    case Key::Kind::Interrupt:
    case Key::Kind::EndOfInput:
      quit_ = true;
      return;
    case Key::Kind::Character:
      *prompt_ += key.text;
      return;
    default:
      return;
  }
}

void InteractiveFrontEnd::handleKey(const Key& key) {
  if (prompt_) {
    handlePromptKey(key);
    return;
  }
  switch (key.kind) {
    case Key::Kind::Interrupt:
    case Key::Kind::EndOfInput:
      quit_ = true;
      return;
    case Key::Kind::Escape:
      message_.clear();
      return;
    case Key::Kind::Backspace: {
      std::string why;
      message_ = session_.deleteBackward(1, why) && why.empty() ? "Deleted a character." : why;
      return;
    }
    case Key::Kind::Character:
      break;
    default:
      return;
  }
  std::string why;
  // A note (a disabled control, a refused key) says more than the plain confirmation.
  auto report = [&](bool done, std::string text) { message_ = done && why.empty() ? std::move(text) : why; };
  auto pose = [&](Pose p, const char* text) {
    session_.setPose(p);
    message_ = text;
  };
  const std::string& c = key.text;
  if (c == "q") {
    quit_ = true;
  } else if (c == "d") {
    session_.setPose(Pose::FaceDown);
    message_ = "The phone lies face down, its sensor covered.";
  } else if (c == "u") {
    session_.setPose(Pose::FaceUp);
    message_ = "The phone lies face up.";
  } else if (c == "l") {
    session_.setPose(Pose::Lifted);
    message_ = "The phone is in your hand, its sensor clear.";
  } else if (c == "v") {
    pose(Pose::Upright, "The phone stands upright, its sensor clear.");
  } else if (c == "<") {
    pose(Pose::LeftSide, "The phone lies on its left side.");
  } else if (c == ">") {
    pose(Pose::RightSide, "The phone lies on its right side.");
  } else if (c == "^") {
    pose(Pose::UpsideDown, "The phone stands upside down.");
  } else if (c == "p") {
    report(session_.playPause(why), "Pressed play/pause.");
  } else if (c == "r") {
    report(session_.openResetSheet(why), "The reset sheet: tap an action by its number.");
  } else if (c.size() == 1 && c[0] >= '1' && c[0] <= '9') {
    if (session_.tappables().size() > 9) {
      // More controls than digits: the number is finished with return.
      prompt_ = "tap " + c;
      return;
    }
    tapNumber(c[0] - '0');
  } else if (c == "f") {
    skip(60);
  } else if (c == "F") {
    skip(5 * 60);
  } else if (c == "w") {
    skip(25 * 60);
  } else if (c == "+" || c == "=") {
    speed_ = nextSpeed(speed_, true);
    paused_ = false;
    message_ = "Time runs " + speedText(speed_) + ".";
  } else if (c == "-") {
    speed_ = nextSpeed(speed_, false);
    paused_ = false;
    message_ = "Time runs " + speedText(speed_) + ".";
  } else if (c == " ") {
    paused_ = !paused_;
    message_ = paused_ ? "Time stands still (space goes on)." : "Time runs " + speedText(speed_) + ".";
  } else if (c == "b") {
    if (session_.isInBackground()) {
      session_.enterForeground();
      message_ = "The app is in front again.";
    } else {
      session_.enterBackground();
      message_ = "The app is in the background (b brings it back).";
    }
  } else if (c == "x") {
    report(session_.dismissSheet(why), "Swiped the sheet down.");
  } else if (c == "h") {
    if (session_.isPressing()) {
      const std::string name = session_.pressedName();
      const double held = session_.pressedFor();
      report(session_.pressEnd(why),
             "Lifted the finger from " + name + " after " + platform::format("%.1f", held) + " s.");
    } else {
      // The control to hold is named like a tap's: its number, identifier or title.
      prompt_ = "press ";
    }
  } else if (c == "i") {
    prompt_ = "type ";
  } else if (c == "I") {
    prompt_ = "paste ";
  } else if (c == "A") {
    report(session_.selectAll(why), "The field's text is selected: what you type or paste replaces it.");
  } else if (c == ":") {
    prompt_ = "";
  } else if (c == "?") {
    message_ =
        "Keys act on the phone; digits tap the numbered controls, h holds one (h again lets go). "
        "':' takes a script command (tap, choose, photos ask deny, mail no, wait 5:00, expect ...; "
        "see README). Esc clears this line.";
  } else {
    message_ = "No key \"" + c + "\". " + helpLine();
  }
}

void InteractiveFrontEnd::draw(RawTerminal& terminal, bool force) {
  const TerminalSize size = terminal.size();
  std::string out;
  if (force || size.cols != shownCols_ || size.rows != static_cast<int>(shownRows_.size())) {
    shownRows_.assign(static_cast<std::size_t>(size.rows), std::string());
    shownCols_ = size.cols;
    out += "\x1b[2J";
    force = true;
  }
  const bool color = session_.options().color;
  const int paneWidth = size.cols >= 110 ? 46 : size.cols >= 80 ? 34 : 0;
  const int phoneCols = size.cols - (paneWidth > 0 ? paneWidth + 2 : 0) - 2;
  const auto help = helpLines(size.cols);
  const int bottomRows = 1 + static_cast<int>(help.size());
  const int phoneRows = size.rows - bottomRows - 2;
  Grid screen(size.cols, size.rows);
  if (phoneCols < 10 || phoneRows < 6) {
    screen.put(0, 0, "The terminal is too small for the phone: make it at least 40 x 12.", Style{});
  } else {
    const platform::Size points = platform::Screen::main().bounds().size;
    const double width = std::max({points.width / phoneCols, points.height / (2.0 * phoneRows), kNarrowestCell});
    LoopState loop{true, speed_, paused_};
    screen.blit(composeFrame(session_, CellSize{width, 2 * width}, paneWidth, phoneRows + 2, loop, color), 0, 0);
  }
  if (size.rows >= bottomRows) {
    const int statusRow = size.rows - bottomRows;
    Style status;
    if (prompt_) {
      status.bold = true;
      screen.put(0, statusRow, truncateToWidth(":" + *prompt_ + "_", size.cols), status);
    } else {
      screen.put(0, statusRow, truncateToWidth(message_, size.cols), status);
    }
    Style faint;
    faint.dim = true;
    for (std::size_t i = 0; i < help.size(); ++i) {
      screen.put(0, statusRow + 1 + static_cast<int>(i), truncateToWidth(help[i], size.cols), faint);
    }
  }
  for (int r = 0; r < size.rows; ++r) {
    std::string line = color ? screen.ansiLine(r) : screen.plainLine(r);
    auto& shown = shownRows_[static_cast<std::size_t>(r)];
    if (!force && line == shown) continue;
    out += "\x1b[" + std::to_string(r + 1) + ";1H" + line + "\x1b[K";
    shown = std::move(line);
  }
  if (!out.empty()) terminal.write(out);
}

int InteractiveFrontEnd::run() {
  using Clock = std::chrono::steady_clock;
  RawTerminal terminal;
  if (!terminal.ok()) return 2;
  runner_.mark();
  // Keys come from the reader's thread through the main queue; this loop, between settles, is
  // the only place that acts on them, so no key runs in the middle of another's consequences.
  auto mailbox = std::make_shared<std::deque<Key>>();
  {
    KeyReader reader([mailbox](const Key& key) {
      platform::DispatchQueue::main()->async([mailbox, key] { mailbox->push_back(key); });
    });
    auto last = Clock::now();
    bool force = true;
    while (!quit_) {
      if (RawTerminal::stopRequested()) break;
      session_.settle();
      while (!mailbox->empty() && !quit_) {
        Key key = mailbox->front();
        mailbox->pop_front();
        handleKey(key);
      }
      const auto now = Clock::now();
      const double real = std::chrono::duration<double>(now - last).count();
      last = now;
      // Time runs on only once the app has caught up with what it owes (a skip, a slow frame).
      if (!paused_ && !quit_ && session_.timeOwed() < kLongestFrame * speed_) {
        session_.advance(std::min(real, kLongestFrame) * speed_);
      }
      if (quit_) break;
      draw(terminal, force);
      force = false;
      const auto seen = platform::detail::mainWaker().generation();
      if (!platform::detail::mainQueueHasWork()) platform::detail::mainWaker().waitFor(seen, kFrameSeconds);
    }
  }
  session_.settle();
  return 0;
}

}  // namespace terminal
