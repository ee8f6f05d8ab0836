// The deep link that opened the app, kept in user defaults until the engine can report it, and
// the few launch questions the engine's reporters ask. No state of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

class APMUserDefaults;

// Writes the link and the current time (seconds since 1970) under the stored-link keys.
void APMStoreDeepLink(const std::shared_ptr<APMUserDefaults>& store, std::string_view link);
void APMRemoveStoredDeepLink(const std::shared_ptr<APMUserDefaults>& store);
// False without a stored time; else whether now and the stored time lie more than the time to
// live apart (either way).
bool APMIsStoredDeepLinkExpired(const std::shared_ptr<APMUserDefaults>& store, double timeToLive);
// The start of the hour before the one holding the time.
std::int64_t APMStartOfPreviousHourMillis(std::int64_t millis);
// Whether the application is in front and active.
bool APMIsAppActive();
