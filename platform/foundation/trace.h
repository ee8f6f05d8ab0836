// The one trace of observable effects (vibration, sounds, torch, haptics, notifications shown,
// URLs opened, mail, photos saved): tests assert on it and the terminal front end shows it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/date.h"

namespace platform {

struct TraceEvent {
  Date date;          // platform clock at the time of the effect
  std::string kind;   // "vibrate", "sound", "torch", "haptic", "notification", "openURL", ...
  std::string detail;
};

namespace Trace {
void record(std::string kind, std::string detail = {});
std::vector<TraceEvent> events();
// How many effects were recorded so far, those dropped or cleared since included: a mark that
// later records, drops and clears leave in place.
std::uint64_t recordedCount();
// The effects recorded after `mark` (a recordedCount) that are still kept, oldest first.
std::vector<TraceEvent> eventsSince(std::uint64_t mark);
std::vector<TraceEvent> eventsOfKind(std::string_view kind);
void clear();
// Called after each record, on the recording thread.
int addObserver(std::function<void(const TraceEvent&)> observer);
void removeObserver(int id);
}  // namespace Trace

}  // namespace platform
