// Shortens a crash record so that it fits a length, while the record streams by in pieces of any
// size: one pass measures, a second pass over the same bytes writes. The "threads" line and the
// crashed thread's stack are what the record is for: they are kept whole whatever else the record
// holds. Other lines are kept while they fit (the longest left out first when they do not), and
// the other threads' stack traces are cut alike to their innermost frames with the room left.
// Besides the bytes kept it holds one count per frame depth and the lengths of a few of the
// longest lines, so a record of any size the unwinder can write is shortened in bounded memory
// and in two reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/value.h"

class RLZCrashRecordFitter {
 public:
  // How many of the longest other lines are known by number: a record that must leave out more
  // than these leaves out every other line.
  static constexpr std::size_t kLongestLinesTracked = 32;

  explicit RLZCrashRecordFitter(std::uint64_t length);

  // The first pass. False once the record cannot fit however short its stacks and whatever lines
  // are left out: the rest of it need not be read.
  bool measure(std::string_view bytes);
  // After the first pass: whether the record fits with its threads line, the crashed thread's
  // stack whole and every other stack cut to the same number of innermost frames. False too
  // for a record without a "threads" line, which has nothing to shorten.
  bool finishMeasuring();
  // The number of frames each shortened stack keeps, known once measured.
  std::size_t framesKept() const { return kept_; }
  // The number of lines other than the threads line that are left out, known once measured.
  std::uint64_t linesLeftOut() const { return linesLeftOut_; }

  // The second pass, over the bytes measured.
  void write(std::string_view bytes);
  // The shortened record; none when it does not fit, or the bytes written were not the ones
  // measured (the file changed between the passes) and came out longer than the length.
  std::optional<platform::Data> finishWriting();

 private:
  enum class State { LineStart, OtherLine, ThreadsLine, Trace };

  void scan(std::string_view bytes);
  // The bytes of the threads line a line's start matched, once the line turns out another one.
  void endLineStart();
  void threadsBytes(const char* bytes, std::size_t length);
  void startOtherLine();
  void otherBytes(const char* bytes, std::size_t length);
  void endOtherLine();
  void emit(const char* bytes, std::size_t length);
  void startTrace();
  void traceBytes(const char* bytes, std::size_t length);
  void endFrame(bool comma);
  void endTrace();
  // After a trace's closing bracket, whether the crashed mark follows it.
  void judge(char c);
  void settleTrace(bool whole);
  void dropUnreachableDepths();
  // Which other lines are left out so that the threads line fits beside the rest.
  void leaveOutLines();

  bool writing_ = false;
  std::uint64_t limit_;
  State state_ = State::LineStart;
  std::size_t lineMatched_ = 0;
  bool sawThreads_ = false;
  std::size_t stackTraceMatched_ = 0;
  // Bytes of the crashed mark matched after a trace's end, while judging it.
  bool judging_ = false;
  std::size_t crashedMatched_ = 0;
  bool sawCrashed_ = false;
  std::uint64_t traces_ = 0;
  std::uint64_t frame_ = 0;
  std::uint64_t frameBytes_ = 0;
  // Lines other than the threads line, counted from 0 in both passes.
  std::uint64_t otherLines_ = 0;
  bool inOtherLine_ = false;

  // Measuring: the bytes of the threads line when every stack but the whole ones is emptied;
  // what the frame at each depth adds over all stacks (saturated, and only depths that can still
  // fit); the current stack's frames; the stacks kept whole (the first crashed one, or one never
  // closed); the other lines' bytes, the current one's, and the longest of them with their
  // numbers.
  bool hopeless_ = false;
  std::uint64_t base_ = 0;
  std::vector<std::uint32_t> byDepth_;
  std::uint64_t byDepthTotal_ = 0;
  // The first depth known never to fit.
  std::uint64_t depthLimit_ = UINT64_MAX;
  std::vector<std::uint32_t> current_;
  std::uint64_t currentTotal_ = 0;
  bool currentCapped_ = false;
  std::uint64_t currentBytes_ = 0;
  std::vector<std::uint64_t> whole_;
  std::uint64_t otherTotal_ = 0;
  std::uint64_t otherCurrent_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> longest_;  // (bytes, line number)
  std::size_t kept_ = 0;
  bool fits_ = false;

  // Left out: the lines of these numbers, or every other line.
  std::vector<std::uint64_t> leftOut_;
  bool leaveOutAll_ = false;
  std::uint64_t linesLeftOut_ = 0;

  // Writing.
  std::size_t nextWhole_ = 0;
  bool keepWhole_ = false;
  bool skipLine_ = false;
  bool overflow_ = false;
  platform::Data out_;
};
