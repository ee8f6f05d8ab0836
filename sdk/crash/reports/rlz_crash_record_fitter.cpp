#include "sdk/crash/reports/rlz_crash_record_fitter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <limits>

namespace {

constexpr std::string_view kThreadsLine = "{\"threads\":[";
constexpr std::string_view kStackTrace = "\"stacktrace\":[";
// The crash-time writer puts a thread's "crashed" mark right after its stack trace, whose array
// holds numbers only.
constexpr std::string_view kCrashed = ",\"crashed\":true";

// What one depth adds is held in 32 bits: a depth that adds more never fits anyway.
constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint32_t>::max();

std::uint32_t saturatedSum(std::uint64_t a, std::uint64_t b) {
  return static_cast<std::uint32_t>(std::min(a + b, kSaturated));
}

// For each prefix of the stack trace key, its longest proper prefix that is also its suffix: a
// search that fails part-way goes on from there, so no key is missed, nor one split between two
// pieces.
constexpr auto kStackTraceBorders = [] {
  std::array<std::size_t, kStackTrace.size()> borders{};
  for (std::size_t i = 1, k = 0; i < kStackTrace.size(); ++i) {
    while (k > 0 && kStackTrace[i] != kStackTrace[k]) k = borders[k - 1];
    if (kStackTrace[i] == kStackTrace[k]) ++k;
    borders[i] = k;
  }
  return borders;
}();

}  // namespace

RLZCrashRecordFitter::RLZCrashRecordFitter(std::uint64_t length) : limit_(std::min(length, kSaturated - 1)) {}

bool RLZCrashRecordFitter::measure(std::string_view bytes) {
  if (!writing_) scan(bytes);
  return !hopeless_;
}

void RLZCrashRecordFitter::write(std::string_view bytes) {
  if (writing_ && fits_) scan(bytes);
}

bool RLZCrashRecordFitter::finishMeasuring() {
  if (writing_) return fits_;
  if (state_ == State::LineStart && lineMatched_ > 0) endLineStart();
  if (inOtherLine_) endOtherLine();
  // A stack never closed keeps what it has; one whose mark was cut off is no crashed one.
  if (state_ == State::Trace) settleTrace(true);
  if (judging_) settleTrace(false);
  fits_ = sawThreads_ && !hopeless_;
  if (fits_) {
    leaveOutLines();
    dropUnreachableDepths();
  }
  kept_ = byDepth_.size();
  const std::uint64_t expected = base_ + byDepthTotal_;
  byDepth_ = {};
  current_ = {};
  longest_ = {};
  writing_ = true;
  state_ = State::LineStart;
  lineMatched_ = 0;
  sawThreads_ = false;
  stackTraceMatched_ = 0;
  judging_ = false;
  traces_ = 0;
  otherLines_ = 0;
  inOtherLine_ = false;
  if (fits_) out_.reserve(static_cast<std::size_t>(expected));
  return fits_;
}

std::optional<platform::Data> RLZCrashRecordFitter::finishWriting() {
  if (!writing_ || !fits_) return std::nullopt;
  if (state_ == State::LineStart && lineMatched_ > 0) endLineStart();
  if (overflow_) return std::nullopt;
  return std::move(out_);
}

void RLZCrashRecordFitter::scan(std::string_view bytes) {
  const char* at = bytes.data();
  const char* const end = at + bytes.size();
  while (at < end && !hopeless_ && !overflow_) {
    switch (state_) {
      case State::OtherLine: {
        const auto* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        const char* stop = newline ? newline + 1 : end;
        otherBytes(at, static_cast<std::size_t>(stop - at));
        if (newline) {
          endOtherLine();
          state_ = State::LineStart;
          lineMatched_ = 0;
        }
        at = stop;
        break;
      }
      case State::LineStart:
        // Only the first line that is a "threads" section is the threads line. What a line's start
        // matched is held back until the line is known.
        if (sawThreads_ || *at != kThreadsLine[lineMatched_]) {
          endLineStart();
          break;
        }
        ++at;
        if (++lineMatched_ == kThreadsLine.size()) {
          sawThreads_ = true;
          lineMatched_ = 0;
          threadsBytes(kThreadsLine.data(), kThreadsLine.size());
          state_ = State::ThreadsLine;
          stackTraceMatched_ = 0;
        }
        break;
      case State::ThreadsLine: {
        const char c = *at;
        threadsBytes(at++, 1);
        if (judging_) judge(c);
        if (c == '\n') {
          state_ = State::LineStart;
          lineMatched_ = 0;
          break;
        }
        std::size_t& matched = stackTraceMatched_;
        while (matched > 0 && kStackTrace[matched] != c) matched = kStackTraceBorders[matched - 1];
        if (kStackTrace[matched] == c) ++matched;
        if (matched == kStackTrace.size()) {
          matched = 0;
          startTrace();
        }
        break;
      }
      case State::Trace: {
        const char* stop = at;
        while (stop < end && *stop != ',' && *stop != ']' && *stop != '\n') ++stop;
        traceBytes(at, static_cast<std::size_t>(stop - at));
        at = stop;
        if (at == end) break;
        if (*at == ',') {
          ++at;
          endFrame(true);
        } else if (*at == ']') {
          endTrace();
          threadsBytes(at++, 1);
        } else {
          // A stack that the line ends without closing is kept as it is, newline and all.
          if (!writing_) settleTrace(true);
          state_ = State::ThreadsLine;
        }
        break;
      }
    }
  }
}

void RLZCrashRecordFitter::endLineStart() {
  startOtherLine();
  otherBytes(kThreadsLine.data(), lineMatched_);
  lineMatched_ = 0;
  state_ = State::OtherLine;
}

void RLZCrashRecordFitter::threadsBytes(const char* bytes, std::size_t length) {
  if (writing_) {
    emit(bytes, length);
    return;
  }
  base_ += length;
  hopeless_ = base_ > limit_;
}

void RLZCrashRecordFitter::startOtherLine() {
  inOtherLine_ = true;
  if (writing_) {
    skipLine_ = leaveOutAll_ || std::binary_search(leftOut_.begin(), leftOut_.end(), otherLines_);
  } else {
    otherCurrent_ = 0;
  }
  ++otherLines_;
}

void RLZCrashRecordFitter::otherBytes(const char* bytes, std::size_t length) {
  if (!writing_) {
    otherCurrent_ += length;
  } else if (!skipLine_) {
    emit(bytes, length);
  }
}

void RLZCrashRecordFitter::endOtherLine() {
  inOtherLine_ = false;
  if (writing_) return;
  otherTotal_ += otherCurrent_;
  const std::pair<std::uint64_t, std::uint64_t> line{otherCurrent_, otherLines_ - 1};
  if (longest_.size() < kLongestLinesTracked) {
    longest_.push_back(line);
  } else if (auto least = std::min_element(longest_.begin(), longest_.end()); *least < line) {
    *least = line;
  }
}

void RLZCrashRecordFitter::leaveOutLines() {
  // The longest first, and of two alike the later: the first lines say what happened.
  std::sort(longest_.begin(), longest_.end(), std::greater<>());
  std::uint64_t others = otherTotal_;
  for (const auto& [bytes, number] : longest_) {
    if (base_ + others <= limit_) break;
    others -= bytes;
    leftOut_.push_back(number);
  }
  if (base_ + others > limit_) {
    // More lines than are tracked would have to go: a record no writer of this app made.
    leaveOutAll_ = true;
    leftOut_.clear();
    others = 0;
  }
  std::sort(leftOut_.begin(), leftOut_.end());
  linesLeftOut_ = leaveOutAll_ ? otherLines_ : leftOut_.size();
  base_ += others;
}

void RLZCrashRecordFitter::emit(const char* bytes, std::size_t length) {
  if (out_.size() + length > limit_) {
    overflow_ = true;
    return;
  }
  out_.insert(out_.end(), bytes, bytes + length);
}

void RLZCrashRecordFitter::startTrace() {
  state_ = State::Trace;
  frame_ = 0;
  frameBytes_ = 0;
  if (writing_) {
    keepWhole_ = nextWhole_ < whole_.size() && whole_[nextWhole_] == traces_;
    if (keepWhole_) ++nextWhole_;
  } else {
    current_.clear();
    currentTotal_ = 0;
    currentCapped_ = false;
    currentBytes_ = 0;
  }
  ++traces_;
}

void RLZCrashRecordFitter::traceBytes(const char* bytes, std::size_t length) {
  if (!writing_) {
    frameBytes_ += length;
    currentBytes_ += length;
  } else if (keepWhole_ || frame_ < kept_) {
    emit(bytes, length);
  }
}

void RLZCrashRecordFitter::endFrame(bool comma) {
  if (writing_) {
    if (comma && (keepWhole_ || frame_ + 1 < kept_)) emit(",", 1);
    ++frame_;
    return;
  }
  // A frame costs its bytes and the comma before it. Depths that cannot fit even if this stack
  // alone reached them are not counted: the counts stay as small as the room.
  const std::uint64_t cost = frameBytes_ + (frame_ > 0 ? 1 : 0);
  if (!currentCapped_ && frame_ >= depthLimit_) currentCapped_ = true;
  if (!currentCapped_ && frame_ >= byDepth_.size() && base_ + byDepthTotal_ + currentTotal_ + cost > limit_) {
    currentCapped_ = true;
    depthLimit_ = std::min<std::uint64_t>(depthLimit_, frame_);
  }
  if (!currentCapped_) {
    current_.push_back(saturatedSum(cost, 0));
    currentTotal_ += current_.back();
  }
  if (comma) ++currentBytes_;
  ++frame_;
  frameBytes_ = 0;
}

void RLZCrashRecordFitter::endTrace() {
  state_ = State::ThreadsLine;
  if (writing_) return;
  endFrame(false);
  judging_ = true;
  crashedMatched_ = 0;
}

void RLZCrashRecordFitter::judge(char c) {
  if (c != kCrashed[crashedMatched_]) {
    settleTrace(false);
  } else if (++crashedMatched_ == kCrashed.size()) {
    // Of several threads marked crashed, only the first is kept whole: the others are cut as any
    // thread is, or a record of marked threads could keep none.
    settleTrace(!sawCrashed_);
    sawCrashed_ = true;
  }
}

void RLZCrashRecordFitter::settleTrace(bool whole) {
  judging_ = false;
  if (whole) {
    base_ += currentBytes_;
    whole_.push_back(traces_ - 1);
  } else {
    for (std::size_t depth = 0; depth < current_.size(); ++depth) {
      if (depth < byDepth_.size()) {
        const std::uint32_t before = byDepth_[depth];
        byDepth_[depth] = saturatedSum(before, current_[depth]);
        byDepthTotal_ += byDepth_[depth] - before;
      } else {
        byDepth_.push_back(current_[depth]);
        byDepthTotal_ += current_[depth];
      }
    }
  }
  current_.clear();
  dropUnreachableDepths();
  hopeless_ = base_ > limit_;
}

// Every count only grows: a depth that does not fit now never will.
void RLZCrashRecordFitter::dropUnreachableDepths() {
  bool dropped = false;
  while (!byDepth_.empty() && base_ + byDepthTotal_ > limit_) {
    byDepthTotal_ -= byDepth_.back();
    byDepth_.pop_back();
    dropped = true;
  }
  if (dropped) depthLimit_ = byDepth_.size();
}
