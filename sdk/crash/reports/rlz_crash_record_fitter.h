// Shortens the stack traces of a crash record's "threads" line so that the record fits a length,
// while the record streams by in pieces of any size: one pass measures, a second pass over the same
// bytes writes. Besides the bytes kept it holds one count per frame depth, so a record of any size
// the unwinder can write is shortened in bounded memory and in two reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

class RLZCrashRecordFitter {
 public:
  explicit RLZCrashRecordFitter(std::uint64_t length);

  // The first pass. False once the record cannot fit however short its stacks: the rest of it
  // need not be read.
  bool measure(std::string_view bytes);
  // After the first pass: whether the record fits with every line kept, the crashed thread's
  // stack whole and every other stack cut to the same number of innermost frames. False too
  // for a record without a "threads" line, which has nothing to shorten.
  bool finishMeasuring();
  // The number of frames each shortened stack keeps, known once measured.
  std::size_t framesKept() const { return kept_; }

  // The second pass, over the bytes measured.
  void write(std::string_view bytes);
  // The shortened record; none when it does not fit, or the bytes written were not the ones
  // measured (the file changed between the passes) and came out longer than the length.
  std::optional<platform::Data> finishWriting();

 private:
  enum class State { LineStart, OtherLine, ThreadsLine, Trace, Rest };

  void scan(std::string_view bytes);
  void plain(const char* bytes, std::size_t length);
  void emit(const char* bytes, std::size_t length);
  void startTrace();
  void traceBytes(const char* bytes, std::size_t length);
  void endFrame(bool comma);
  void endTrace();
  // After a trace's closing bracket, whether the crashed mark follows it.
  void judge(char c);
  void settleTrace(bool whole);
  void dropUnreachableDepths();

  bool writing_ = false;
  std::uint64_t limit_;
  State state_ = State::LineStart;
  std::size_t lineMatched_ = 0;
  bool sawThreads_ = false;
  std::size_t stackTraceMatched_ = 0;
  // Bytes of the crashed mark matched after a trace's end, while judging it.
  bool judging_ = false;
  std::size_t crashedMatched_ = 0;
  std::uint64_t traces_ = 0;
  std::uint64_t frame_ = 0;
  std::uint64_t frameBytes_ = 0;

  // Measuring: the bytes the record keeps when every stack but the whole ones is emptied; what
  // the frame at each depth adds over all stacks (saturated, and only depths that can still fit);
  // the current stack's frames; the stacks kept whole (crashed, or never closed).
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
  std::size_t kept_ = 0;
  bool fits_ = false;

  // Writing.
  std::size_t nextWhole_ = 0;
  bool keepWhole_ = false;
  bool overflow_ = false;
  platform::Data out_;
};
