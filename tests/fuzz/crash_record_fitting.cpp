// Crash records arrive as files from earlier runs: shortening one to fit a report must end, give
// no more than the length asked and keep its threads line; streamed in pieces of any size it
// gives what it gives whole, and that is what a search over the whole record in memory finds.
// The first two bytes choose the length, the third the size of the pieces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sdk/crash/reports/rlz_crash_record_fitter.h"
#include "sdk/crash/reports/rlz_report_adapter.h"

namespace {

constexpr std::string_view kThreadsLine = "{\"threads\":[";

// The stack traces of a "threads" line cut to their innermost `frames` frames, but the first
// crashed thread's.
std::string cappingStackTraces(std::string_view line, std::size_t frames) {
  constexpr std::string_view kStart = "\"stacktrace\":[";
  constexpr std::string_view kCrashed = ",\"crashed\":true";
  std::string out;
  bool crashedKept = false;
  std::size_t at = 0;
  for (std::size_t start; (start = line.find(kStart, at)) != std::string_view::npos;) {
    const std::size_t body = start + kStart.size();
    const std::size_t end = line.find(']', body);
    if (end == std::string_view::npos) break;
    out.append(line.substr(at, body - at));
    const std::string_view trace = line.substr(body, end - body);
    if (!crashedKept && line.substr(end + 1, kCrashed.size()) == kCrashed) {
      crashedKept = true;
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

// The same shortening by a search over the record held whole: the other lines kept, the longest
// left out first while the threads line with its stacks emptied does not fit beside them.
std::optional<std::string> searched(std::string_view text, std::uint64_t length) {
  std::vector<std::string_view> lines;  // each with its newline
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t newline = text.find('\n', at);
    const std::size_t end = newline == std::string_view::npos ? text.size() : newline + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  const auto threadsAt = std::find_if(lines.begin(), lines.end(),
                                      [](std::string_view line) { return line.starts_with(kThreadsLine); });
  if (threadsAt == lines.end()) return std::nullopt;
  std::string_view threads = *threadsAt;
  const bool newline = threads.ends_with('\n');
  if (newline) threads.remove_suffix(1);
  auto capped = [&](std::size_t frames) { return cappingStackTraces(threads, frames) + (newline ? "\n" : ""); };
  const std::uint64_t mandatory = capped(0).size();
  if (mandatory > length) return std::nullopt;

  std::vector<std::pair<std::uint64_t, std::uint64_t>> others;  // (bytes, number among the others)
  std::uint64_t othersBytes = 0;
  for (auto it = lines.begin(); it != lines.end(); ++it) {
    if (it == threadsAt) continue;
    others.emplace_back(it->size(), others.size());
    othersBytes += it->size();
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> byLength = others;
  std::sort(byLength.begin(), byLength.end(), std::greater<>());
  std::vector<bool> leftOut(others.size(), false);
  for (std::size_t i = 0; i < byLength.size() && mandatory + othersBytes > length; ++i) {
    if (i == RLZCrashRecordFitter::kLongestLinesTracked) {
      std::fill(leftOut.begin(), leftOut.end(), true);
      othersBytes = 0;
      break;
    }
    leftOut[byLength[i].second] = true;
    othersBytes -= byLength[i].first;
  }

  std::size_t low = 0;
  std::size_t high = static_cast<std::size_t>(std::count(threads.begin(), threads.end(), ',')) + 1;
  while (low < high) {
    const std::size_t middle = low + (high - low + 1) / 2;
    if (capped(middle).size() + othersBytes <= length) low = middle; else high = middle - 1;
  }
  std::string out;
  std::size_t other = 0;
  for (auto it = lines.begin(); it != lines.end(); ++it) {
    if (it == threadsAt) {
      out += capped(low);
    } else if (!leftOut[other++]) {
      out.append(*it);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const std::uint64_t length = std::uint64_t{data[0]} << 8 | data[1];
  const std::size_t piece = std::size_t{data[2]} + 1;
  const platform::Data record(data + 3, data + size);
  const std::string_view text(reinterpret_cast<const char*>(record.data()), record.size());

  const auto fitted = RLZReportAdapter::crashRecordWithShorterStackTraces(record, length);
  if (fitted && fitted->size() > length) __builtin_trap();

  RLZCrashRecordFitter streamed(length);
  for (std::size_t at = 0; at < text.size(); at += piece) streamed.measure(text.substr(at, piece));
  if (streamed.finishMeasuring()) {
    for (std::size_t at = 0; at < text.size(); at += piece) streamed.write(text.substr(at, piece));
  }
  if (streamed.finishWriting() != fitted) __builtin_trap();

  const auto expected = searched(text, length);
  if (expected.has_value() != fitted.has_value()) __builtin_trap();
  if (fitted && std::string_view(reinterpret_cast<const char*>(fitted->data()), fitted->size()) != *expected) {
    __builtin_trap();
  }
  return 0;
}
