// What the front end reads from the user: the command line, script durations and raw key bytes.
#include <gtest/gtest.h>

#include "tools/terminal/grid.h"
#include "tools/terminal/interactive.h"
#include "tools/terminal/key_reader.h"
#include "tools/terminal/options.h"
#include "tools/terminal/script_runner.h"

namespace terminal {
namespace {

TEST(ParseOptions, AcceptsEachOptionInBothSpellings) {
  std::string error;
  auto options = parseOptions({"--script", "a.script", "--speed=60", "--device", "iPad", "--screen=414x896", "--home",
                               "/tmp/h", "--no-color", "--verbose"},
                              error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->script, std::filesystem::path("a.script"));
  EXPECT_EQ(options->speed, 60);
  EXPECT_EQ(options->device, "iPad");
  EXPECT_EQ(options->screenSize(), (platform::Size{414, 896}));
  EXPECT_EQ(options->home, std::filesystem::path("/tmp/h"));
  EXPECT_FALSE(options->color);
  EXPECT_TRUE(options->verbose);
}

TEST(ParseOptions, DefaultsFollowTheDevice) {
  std::string error;
  EXPECT_EQ(parseOptions({}, error)->screenSize(), (platform::Size{375, 667}));
  EXPECT_EQ(parseOptions({"--device", "iPad"}, error)->screenSize(), (platform::Size{768, 1024}));
  EXPECT_EQ(parseOptions({}, error)->speed, 1);
}

TEST(ParseOptions, RefusesWhatMakesNoSense) {
  const std::vector<std::vector<std::string>> cases = {
      {"--speed", "0"},        {"--speed", "-2"},     {"--speed", "fast"},   {"--speed", "nan"},
      {"--speed", "1e9"},      {"--screen", "375"},   {"--screen", "0x667"}, {"--screen", "375x-1"},
      {"--screen", "375x66a"}, {"--device", "Pixel"}, {"--script"},          {"--home", ""},
      {"--verbose=yes"},       {"--frobnicate"},      {"script.txt"},
  };
  for (const auto& args : cases) {
    std::string error;
    EXPECT_FALSE(parseOptions(args, error)) << args.front() << (args.size() > 1 ? " " + args[1] : "");
    EXPECT_FALSE(error.empty());
  }
}

TEST(ParseDuration, ReadsSecondsUnitsAndClockTimes) {
  const std::pair<const char*, double> good[] = {
      {"90", 90},   {"1.5", 1.5},  {"0", 0},        {"90s", 90}, {"5m", 300},       {"1h", 3600},
      {"0.5m", 30}, {"5:00", 300}, {"25:00", 1500}, {"0:09", 9}, {"1:02:03", 3723}, {" 4:00 ", 240},
  };
  for (const auto& [text, seconds] : good) {
    auto parsed = parseDuration(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_DOUBLE_EQ(*parsed, seconds) << text;
  }
  const char* bad[] = {"", "-1", "abc", "5:60", "5:7", "1:2:3:4", ":30", "5:", "1.5:00", "m", "1e400", "400d", "9999h"};
  for (const char* text : bad) EXPECT_FALSE(parseDuration(text)) << text;
}

TEST(DecodeKeys, TurnsBytesIntoKeys) {
  using K = Key::Kind;
  struct Case {
    const char* name;
    std::string bytes;
    bool final;
    std::vector<Key> keys;
    std::size_t consumed;
  } cases[] = {
      {"Letters", "du", false, {Key::character("d"), Key::character("u")}, 2},
      {"Utf8", "é음", false, {Key::character("é"), Key::character("음")}, 5},
      {"ReturnAndCrLf", "\r\n\n", false, {{K::Enter, {}}, {K::Enter, {}}}, 3},
      {"Arrows", "\x1b[A\x1bOD", false, {{K::Up, {}}, {K::Left, {}}}, 6},
      {"UnknownSequenceDropped", "\x1b[1;5Hx", false, {Key::character("x")}, 7},
      {"LoneEscapeWaits", "a\x1b", false, {Key::character("a")}, 1},
      {"LoneEscapeAtTheEnd", "\x1b", true, {{K::Escape, {}}}, 1},
      {"HalfSequenceWaits", "\x1b[", false, {}, 0},
      {"HalfCharacterWaits", "\xec\x9d", false, {}, 0},
      {"HalfCharacterDroppedAtTheEnd", "\xec\x9d", true, {}, 2},
      {"ControlKeys",
       "\x7f\x08\t\x03\x04",
       false,
       {{K::Backspace, {}}, {K::Backspace, {}}, {K::Tab, {}}, {K::Interrupt, {}}, {K::EndOfInput, {}}},
       5},
      {"OtherControlsAndStrayBytesDropped",
       "\x01\x80z\xe0"
       "a",
       false,
       {Key::character("z"), Key::character("a")},
       5},
  };
  for (const auto& c : cases) {
    std::size_t consumed = 99;
    EXPECT_EQ(decodeKeys(c.bytes, c.final, consumed), c.keys) << c.name;
    EXPECT_EQ(consumed, c.consumed) << c.name;
  }
}

TEST(NextSpeed, StepsThroughTheListAndStopsAtItsEnds) {
  EXPECT_EQ(nextSpeed(1, true), 2);
  EXPECT_EQ(nextSpeed(1, false), 0.5);
  EXPECT_EQ(nextSpeed(0.5, false), 0.5);
  EXPECT_EQ(nextSpeed(3600, true), 3600);
  // A speed from the command line between two steps goes to its neighbours.
  EXPECT_EQ(nextSpeed(7, true), 10);
  EXPECT_EQ(nextSpeed(7, false), 5);
}

}  // namespace
}  // namespace terminal

namespace terminal {
namespace {

TEST(HelpLines, BreakBetweenKeyGroupsWhenTheTerminalIsNarrow) {
  EXPECT_EQ(helpLines(200), std::vector<std::string>{helpLine()});
  auto two = helpLines(80);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0] + "  " + two[1], helpLine());
  for (const auto& line : two) EXPECT_LE(displayWidth(line), 80) << line;
}

}  // namespace
}  // namespace terminal
