// The kept writes' journal is a file the app finds beside its database at start: any bytes must
// give records (or none, or a damaged journal) and events, user properties and conditional
// property requests (or none), never a fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sdk/analytics/engine/apm_kept_writes_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto contents = APMParseKeptWritesJournal(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const auto& record : contents.records) {
    (void)APMEventFromKeptWriteRecord(record);
    (void)APMUserAttributeFromKeptWriteRecord(record);
    (void)APMConditionalUserPropertyFromKeptWriteRecord(record);
  }
  return 0;
}
