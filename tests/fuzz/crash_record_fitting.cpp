// Crash records arrive as files from earlier runs: shortening one's stack traces to fit a report
// must end, give no more than the length asked and keep every line; streamed in pieces of any
// size it gives what it gives whole, and that is what a search over the whole record in memory
// finds. The first two bytes choose the length, the third the size of the pieces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sdk/crash/reports/rlz_crash_record_fitter.h"
#include "sdk/crash/reports/rlz_report_adapter.h"

namespace {

// The stack traces of a "threads" line cut to their innermost `frames` frames, but the crashed
// thread's.
std::string cappingStackTraces(std::string_view line, std::size_t frames) {
  constexpr std::string_view kStart = "\"stacktrace\":[";
  constexpr std::string_view kCrashed = ",\"crashed\":true";
  std::string out;
  std::size_t at = 0;
  for (std::size_t start; (start = line.find(kStart, at)) != std::string_view::npos;) {
    const std::size_t body = start + kStart.size();
    const std::size_t end = line.find(']', body);
    if (end == std::string_view::npos) break;
    out.append(line.substr(at, body - at));
    const std::string_view trace = line.substr(body, end - body);
    if (line.substr(end + 1, kCrashed.size()) == kCrashed) {
      out.append(trace);
    } else if (frames > 0) {
      std::size_t comma = trace.find(',');
      for (std::size_t found = 1; found < frames && comma != std::string_view::npos; ++found) {
        comma = trace.find(',', comma + 1);
      }
      out.append(trace.substr(0, comma));
    }
    at = end;
  }
  out.append(line.substr(at));
  return out;
}

// The same shortening by a search over the record held whole.
std::optional<std::string> searched(std::string_view text, std::uint64_t length) {
  const std::size_t start = text.find("{\"threads\":[");
  if (start == std::string_view::npos || (start != 0 && text[start - 1] != '\n')) return std::nullopt;
  std::size_t end = text.find('\n', start);
  end = end == std::string_view::npos ? text.size() : end;
  const std::uint64_t rest = text.size() - (end - start);
  if (rest >= length) return std::nullopt;
  const std::string_view threads = text.substr(start, end - start);
  std::size_t low = 0;
  std::size_t high = static_cast<std::size_t>(std::count(threads.begin(), threads.end(), ',')) + 1;
  if (cappingStackTraces(threads, low).size() > length - rest) return std::nullopt;
  while (low < high) {
    const std::size_t middle = low + (high - low + 1) / 2;
    if (cappingStackTraces(threads, middle).size() <= length - rest) low = middle; else high = middle - 1;
  }
  return std::string(text.substr(0, start)) + cappingStackTraces(threads, low) + std::string(text.substr(end));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const std::uint64_t length = std::uint64_t{data[0]} << 8 | data[1];
  const std::size_t piece = std::size_t{data[2]} + 1;
  const platform::Data record(data + 3, data + size);
  const std::string_view text(reinterpret_cast<const char*>(record.data()), record.size());

  const auto fitted = RLZReportAdapter::crashRecordWithShorterStackTraces(record, length);
  if (fitted) {
    if (fitted->size() > length) __builtin_trap();
    if (std::count(fitted->begin(), fitted->end(), '\n') != std::count(record.begin(), record.end(), '\n')) {
      __builtin_trap();
    }
  }

  RLZCrashRecordFitter streamed(length);
  for (std::size_t at = 0; at < text.size(); at += piece) streamed.measure(text.substr(at, piece));
  if (streamed.finishMeasuring()) {
    for (std::size_t at = 0; at < text.size(); at += piece) streamed.write(text.substr(at, piece));
  }
  if (streamed.finishWriting() != fitted) __builtin_trap();

  // The search finds no threads line after a line holding the key elsewhere; where it finds one,
  // both agree.
  if (const auto expected = searched(text, length)) {
    if (!fitted || std::string_view(reinterpret_cast<const char*>(fitted->data()), fitted->size()) != *expected) {
      __builtin_trap();
    }
  }
  return 0;
}
