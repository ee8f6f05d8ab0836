// The one trace of observable effects (vibration, sounds, torch, haptics, notifications shown,
// URLs opened, mail, photos saved): tests assert on it and the terminal front end shows it.
#pragma once

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
std::vector<TraceEvent> eventsOfKind(std::string_view kind);
void clear();
// Called after each record, on the recording thread.
int addObserver(std::function<void(const TraceEvent&)> observer);
void removeObserver(int id);
}  // namespace Trace

}  // namespace platform
