// The focus-app fixture with helpers for the settings sheet and time zones.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "focus_app_fixture.h"

class FocusExtrasTest : public FocusAppTest {
 protected:
  static bool tap(const std::shared_ptr<platform::View>& view) {
    if (!view || !platform::UIDriver::tap(*view)) return false;
    settle();
    return true;
  }
};

// Runs with the local time zone set to `zone` (a TZ value), restoring the previous one after.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};
