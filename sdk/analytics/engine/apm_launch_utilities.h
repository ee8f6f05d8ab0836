// Launch helpers of the engine: the deep link that opened the app, kept in the preferences until
// the engine can report it, and small questions about how the process was launched. Stateless.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class APMConfigStore;
class APMRemoteConfig;

// Stores the link and the time it was stored (seconds since 1970).
void APMStoreDeepLink(APMConfigStore& store, const std::string& link);
void APMRemoveStoredDeepLink(APMConfigStore& store);
// A stored link is expired once the time since it was stored, either way round (a clock set back
// counts too), exceeds the time to live. With no stored time nothing is expired.
bool APMIsStoredDeepLinkExpired(APMConfigStore& store, double timeToLive);
// Drops the link from the standard store when the attribution window has passed; YES when it did.
bool APMRemoveExpiredStoredDeepLink(APMRemoteConfig& remoteConfig);
// The start of the hour before the one holding `millis` (ms since 1970).
std::int64_t APMStartOfPreviousHourMillis(std::int64_t millis);
// The system launched the process ahead of the user.
bool APMIsActivePrewarm();
// The app declares scenes in its Info.plist.
bool APMHasSceneManifest();
// The screen reporter's view of whether the app is in front and active.
bool APMIsAppActive();
