// The app's home: $FOCUS_HOME, or ~/.local/share/focus-timer. Inside it the phone's layout:
// Library/Preferences, Library/Caches, Library/Application Support, Documents, tmp, Photos, and
// Keychain beside Library (so removing Library alone simulates a reinstall).
#pragma once

#include <filesystem>
#include <functional>

namespace platform {

namespace Home {
const std::filesystem::path& path();
// Switches the home (tests, --home); creates the layout. Observers are told so that caches
// keyed by the home (user defaults, keychain) start afresh.
void set(const std::filesystem::path& home);
int addChangeObserver(std::function<void()> observer);
void removeChangeObserver(int id);

std::filesystem::path library();
std::filesystem::path preferences();
std::filesystem::path caches();
std::filesystem::path applicationSupport();
std::filesystem::path documents();
std::filesystem::path temporary();
std::filesystem::path photos();
std::filesystem::path keychain();
}  // namespace Home

}  // namespace platform
