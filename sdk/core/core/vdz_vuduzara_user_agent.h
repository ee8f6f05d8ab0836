// The user agent the SDK sends to its backends: the registered libraries' versions joined with
// facts about the environment into one space-separated string of "name/value" entries.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/thread_safety.h"

class VDZVuduzaraUserAgent {
 public:
  using Components = std::map<std::string, std::string, std::less<>>;

  VDZVuduzaraUserAgent();

  // Entries sorted by their whole "name/value" text, ignoring case; an environment entry
  // replaces a library entry of the same name.
  std::string vuduzaraUserAgent();
  // A later value for the same component replaces the earlier one.
  void setValue(std::string_view value, std::string_view component);
  // Drops every library component.
  void reset();

  // Made anew on each call.
  static Components environmentComponents();
  Components valuesByComponent() const;

 private:
  const Components& cachedEnvironmentComponents() REQUIRES(mutex_);

  mutable platform::Mutex mutex_;
  Components valuesByComponent_ GUARDED_BY(mutex_);
  std::optional<Components> environmentComponents_ GUARDED_BY(mutex_);
  std::optional<std::string> userAgent_ GUARDED_BY(mutex_);
};
