#include "platform/foundation/home.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <map>
#include <system_error>
#include <vector>

#include "platform/foundation/thread_safety.h"

namespace platform {

namespace {

struct HomeState {
  Mutex mutex;
  // Every home ever set stays here so that references handed out by path() never dangle when
  // another thread switches the home.
  std::deque<std::filesystem::path> homes GUARDED_BY(mutex);
  bool resolved GUARDED_BY(mutex) = false;
  int nextObserver GUARDED_BY(mutex) = 1;
  std::map<int, std::shared_ptr<std::function<void()>>> observers GUARDED_BY(mutex);
};

HomeState& state() {
  static auto* s = new HomeState;  // outlives static destructors that still write files
  return *s;
}

std::filesystem::path defaultHome() {
  if (const char* env = std::getenv("FOCUS_HOME"); env && *env) return env;
  const char* user = std::getenv("HOME");
  if (!user || !*user) {
    if (const passwd* pw = getpwuid(getuid())) user = pw->pw_dir;
  }
  std::filesystem::path base = (user && *user) ? user : "/tmp";
  return base / ".local" / "share" / "focus-timer";
}

void createLayout(const std::filesystem::path& home) {
  // Best effort: a directory that cannot be made shows up as an error where a file is written.
  std::error_code ec;
  for (const char* sub : {"Library/Preferences", "Library/Caches", "Library/Application Support", "Documents", "tmp",
                          "Photos", "Keychain"}) {
    std::filesystem::create_directories(home / sub, ec);
  }
}

const std::filesystem::path& currentLocked(HomeState& s) REQUIRES(s.mutex) {
  if (!s.resolved) {
    s.homes.push_back(defaultHome());
    s.resolved = true;
    createLayout(s.homes.back());
  }
  return s.homes.back();
}

}  // namespace

namespace Home {

const std::filesystem::path& path() {
  HomeState& s = state();
  MutexLock lock(s.mutex);
  return currentLocked(s);
}

void set(const std::filesystem::path& home) {
  HomeState& s = state();
  std::vector<std::shared_ptr<std::function<void()>>> observers;
  {
    MutexLock lock(s.mutex);
    s.homes.push_back(std::filesystem::absolute(home));
    s.resolved = true;
    createLayout(s.homes.back());
    for (auto& [id, observer] : s.observers) observers.push_back(observer);
  }
  // Outside the lock: observers read the new home.
  for (auto& observer : observers) (*observer)();
}

int addChangeObserver(std::function<void()> observer) {
  HomeState& s = state();
  MutexLock lock(s.mutex);
  int id = s.nextObserver++;
  s.observers.emplace(id, std::make_shared<std::function<void()>>(std::move(observer)));
  return id;
}

void removeChangeObserver(int id) {
  HomeState& s = state();
  MutexLock lock(s.mutex);
  s.observers.erase(id);
}

std::filesystem::path library() { return path() / "Library"; }
std::filesystem::path preferences() { return path() / "Library" / "Preferences"; }
std::filesystem::path caches() { return path() / "Library" / "Caches"; }
std::filesystem::path applicationSupport() { return path() / "Library" / "Application Support"; }
std::filesystem::path documents() { return path() / "Documents"; }
std::filesystem::path temporary() { return path() / "tmp"; }
std::filesystem::path photos() { return path() / "Photos"; }
std::filesystem::path keychain() { return path() / "Keychain"; }

}  // namespace Home

}  // namespace platform
