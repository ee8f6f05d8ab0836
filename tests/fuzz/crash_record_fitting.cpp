// Crash records arrive as files from earlier runs: shortening one's stack traces to fit a report
// must end, give no more than the length asked, and keep every line. The first two bytes choose
// the length.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "sdk/crash/reports/rlz_report_adapter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::uint64_t length = std::uint64_t{data[0]} << 8 | data[1];
  const platform::Data record(data + 2, data + size);
  const auto fitted = RLZReportAdapter::crashRecordWithShorterStackTraces(record, length);
  if (!fitted) return 0;
  if (fitted->size() > length) __builtin_trap();
  if (std::count(fitted->begin(), fitted->end(), '\n') != std::count(record.begin(), record.end(), '\n')) {
    __builtin_trap();
  }
  return 0;
}
