#include "platform/foundation/date.h"

#include <cmath>
#include <ctime>

namespace platform {

std::string Date::description() const {
  const std::time_t t = static_cast<std::time_t>(std::floor(s_));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buf;
}

}  // namespace platform
