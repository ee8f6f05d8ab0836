#include "platform/foundation/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/foundation/home.h"
#include "platform/foundation/trace.h"
#include "platform/runloop/clock.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

// Sends a standard stream of this process into a file while alive.
class Redirect {
 public:
  Redirect(int fd, std::filesystem::path file) : fd_(fd), file_(std::move(file)) {
    std::fflush(nullptr);
    saved_ = ::dup(fd_);
    int out = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(out, fd_);
    ::close(out);
  }
  ~Redirect() { restore(); }
  std::string restore() {
    if (saved_ >= 0) {
      std::fflush(nullptr);
      ::dup2(saved_, fd_);
      ::close(saved_);
      saved_ = -1;
    }
    std::ifstream in(file_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  int fd_;
  std::filesystem::path file_;
  int saved_ = -1;
};

TEST(Console, PrintGoesToStandardOutputAndLogToStandardError) {
  Redirect out(STDOUT_FILENO, Home::temporary() / "out");
  Redirect err(STDERR_FILENO, Home::temporary() / "err");
  Console::print("printed line");
  Console::log("logged line");
  EXPECT_EQ(out.restore(), "printed line\n");
  EXPECT_EQ(err.restore(), "logged line\n");
}

TEST(Console, SinksSeeBothStreamsEvenWithoutTerminalEcho) {
  testing::LogCapture capture;
  Redirect err(STDERR_FILENO, Home::temporary() / "err");
  Console::setEchoToTerminal(false);
  Console::log("quiet");
  Console::print("also quiet");
  Console::setEchoToTerminal(true);
  EXPECT_EQ(err.restore(), "");
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"quiet", "also quiet"}));
  EXPECT_EQ(capture.logs(), std::vector<std::string>{"quiet"});
  EXPECT_EQ(capture.prints(), std::vector<std::string>{"also quiet"});
  EXPECT_TRUE(capture.contains("so qui"));
  capture.clear();
  EXPECT_TRUE(capture.lines().empty());
}

TEST(Console, ARemovedSinkHearsNothingMore) {
  std::vector<std::string> heard;
  int id = Console::addSink([&](Console::Stream, std::string_view line) { heard.emplace_back(line); });
  Console::setEchoToTerminal(false);
  Console::log("one");
  Console::removeSink(id);
  Console::log("two");
  Console::setEchoToTerminal(true);
  EXPECT_EQ(heard, std::vector<std::string>{"one"});
}

TEST(Console, LinesOfConcurrentThreadsNeverInterleave) {
  Redirect err(STDERR_FILENO, Home::temporary() / "err");
  std::vector<std::thread> threads;
  for (char c = 'a'; c < 'a' + 6; ++c) {
    threads.emplace_back([c] {
      for (int i = 0; i < 100; ++i) Console::log(std::string(4000, c));
    });
  }
  for (auto& t : threads) t.join();
  std::istringstream text(err.restore());
  int lines = 0;
  for (std::string line; std::getline(text, line); ++lines) {
    ASSERT_EQ(line.size(), 4000u);
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos);
  }
  EXPECT_EQ(lines, 600);
}

TEST(Trace, RecordsWithThePlatformClockAndTellsObservers) {
  Trace::clear();
  std::vector<std::string> observed;
  int id = Trace::addObserver([&](const TraceEvent& e) { observed.push_back(e.kind + ":" + e.detail); });
  Trace::record("vibrate");
  testing::advance(2.5);
  Trace::record("sound", "bird");
  Trace::removeObserver(id);
  Trace::record("torch", "on");

  auto events = Trace::events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].date, Clock::current().now().addingTimeInterval(-2.5));
  EXPECT_EQ(events[1].date, Clock::current().now());
  EXPECT_EQ(observed, (std::vector<std::string>{"vibrate:", "sound:bird"}));
  ASSERT_EQ(Trace::eventsOfKind("sound").size(), 1u);
  EXPECT_EQ(Trace::eventsOfKind("sound")[0].detail, "bird");
  Trace::clear();
  EXPECT_TRUE(Trace::events().empty());
}

TEST(Trace, KeepsOnlyTheNewestEvents) {
  Trace::clear();
  for (int i = 0; i < 10'050; ++i) Trace::record("tick", std::to_string(i));
  auto events = Trace::events();
  ASSERT_EQ(events.size(), 10'000u);
  EXPECT_EQ(events.front().detail, "50");
  EXPECT_EQ(events.back().detail, "10049");
  // A mark counts records, not places in what is kept: drops and clears leave it where it was.
  const std::uint64_t mark = Trace::recordedCount() - 2;
  auto since = Trace::eventsSince(mark);
  ASSERT_EQ(since.size(), 2u);
  EXPECT_EQ(since.front().detail, "10048");
  EXPECT_EQ(Trace::eventsSince(0).size(), 10'000u);
  Trace::clear();
  Trace::record("tock");
  since = Trace::eventsSince(mark);
  ASSERT_EQ(since.size(), 1u);
  EXPECT_EQ(since.front().kind, "tock");
  EXPECT_TRUE(Trace::eventsSince(Trace::recordedCount()).empty());
  Trace::clear();
}

}  // namespace
}  // namespace platform
