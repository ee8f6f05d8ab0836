#include "platform/foundation/user_defaults.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <new>
#include <thread>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/console.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/home.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr std::string_view kFallbackIdentifier = "com.focus.timer";
// Long enough to gather a burst of writes into one file write, short enough that a crash soon
// after a change rarely loses it.
constexpr auto kFlushDelay = std::chrono::milliseconds(50);
// A write other than the end's waits this long for another process's hold on a suite's file: a
// writer's own hold lasts one read and one synced write, and the screen waits no longer.
constexpr double kBriefLockWaitSeconds = 0.05;
// A suite whose file another process holds is tried again after the first delay, then after twice
// as long each time up to the longest: soon after a short hold, at little cost during a long one.
constexpr auto kFirstRetryDelay = std::chrono::milliseconds(100);
constexpr auto kLongestRetryDelay = std::chrono::seconds(5);
constexpr mode_t kPreferencesMode = 0600;
// A log line names this many unsaved keys and counts the rest.
constexpr std::size_t kKeysNamed = 20;
// The allowance the end of the process was given, for the log lines of what it left unsaved.
std::atomic<double> endAllowance{0};

bool isPropertyList(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return false;
    case Value::Type::Array:
      for (const auto& item : *value.ifArray()) {
        if (!isPropertyList(item)) return false;
      }
      return true;
    case Value::Type::Dictionary:
      for (const auto& [key, item] : *value.ifDictionary()) {
        if (!isPropertyList(item)) return false;
      }
      return true;
    default:
      return true;
  }
}

bool isUsableSuiteName(std::string_view name) {
  // The name becomes a file name: nothing that leaves the folder or cannot be one.
  if (name == "." || name == ".." || name.size() > 200) return false;
  for (char c : name) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

fs::path fileFor(const fs::path& home, const std::string& name) {
  return home / "Library" / "Preferences" / (name + ".plist");
}

}  // namespace

// Owns every suite for the life of the process and the thread that flushes them.
class UserDefaultsRegistry {
 public:
  static UserDefaultsRegistry& shared() {
    static auto* registry = new UserDefaultsRegistry;  // still usable from exit handlers
    return *registry;
  }

  std::shared_ptr<UserDefaults> standard() {
    MutexLock lock(mutex_);
    if (standardName_.empty()) {
      standardName_ = Bundle::main()->bundleIdentifier();
      if (standardName_.empty() || !isUsableSuiteName(standardName_)) standardName_ = kFallbackIdentifier;
    }
    return suiteLocked(standardName_);
  }

  std::shared_ptr<UserDefaults> suite(std::string_view name) {
    if (name.empty()) return standard();
    if (!isUsableSuiteName(name)) return nullptr;
    standard();  // fixes the standard name so that it maps to the same object
    MutexLock lock(mutex_);
    return suiteLocked(std::string(name));
  }

  std::vector<std::shared_ptr<UserDefaults>> all() {
    MutexLock lock(mutex_);
    std::vector<std::shared_ptr<UserDefaults>> result;
    for (auto& [name, suite] : suites_) result.push_back(suite);
    return result;
  }

  void schedule(UserDefaults* suite) {
    MutexLock lock(flushMutex_);
    if (!running_) start();
    if (pending_.emplace(suite, SteadyClock::now() + kFlushDelay).second) wake_.notify_one();
  }

  // Another process held the suite's file: tried again later, each time later than before.
  void retryLater(UserDefaults* suite) {
    MutexLock lock(flushMutex_);
    if (!running_) start();
    auto& delay = retryDelays_[suite];
    delay = delay == SteadyClock::duration::zero() ? SteadyClock::duration(kFirstRetryDelay)
                                                     : std::min<SteadyClock::duration>(delay * 2, kLongestRetryDelay);
    const auto due = SteadyClock::now() + delay;
    if (auto [it, added] = pending_.emplace(suite, due); !added) it->second = std::min(it->second, due);
    wake_.notify_one();
  }

  void wrote(UserDefaults* suite) {
    MutexLock lock(flushMutex_);
    retryDelays_.erase(suite);
  }

  void unschedule(UserDefaults* suite) {
    MutexLock lock(flushMutex_);
    pending_.erase(suite);
    retryDelays_.erase(suite);
  }

  bool waitIdle(double timeoutSeconds) {
    MutexLock lock(flushMutex_);
    auto timeout = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(timeoutSeconds));
    const auto deadline = SteadyClock::now() + timeout;
    while (!pending_.empty() || inFlight_ != 0) {
      if (!idle_.waitUntil(lock, deadline)) return pending_.empty() && inFlight_ == 0;
    }
    return true;
  }

  void stopAndFlush() {
    // The exit waits for another process's lock once in all, not once for each suite; an end set
    // before (a quit's) stays.
    if (!SharedFile::waitsEndBy()) {
      UserDefaults::endWithin(SharedFile::kLockTimeoutSeconds);
    }
    {
      MutexLock lock(flushMutex_);
      if (running_) {
        stopping_ = true;
        wake_.notify_all();
        std::thread* thread = thread_;
        lock.unlock();
        if (thread->get_id() == std::this_thread::get_id()) {
          thread->detach();
        } else {
          thread->join();
        }
        lock.lock();
        running_ = false;
        stopping_ = false;
      }
    }
    for (auto& suite : all()) suite->save(UserDefaults::Wait::WithinTheEnd);
  }

 private:
  UserDefaultsRegistry() {
    Home::addChangeObserver([this] {
      for (auto& suite : all()) {
        unschedule(suite.get());
        suite->forget();
      }
    });
    pthread_atfork(nullptr, nullptr, [] { shared().forgetThreadAfterFork(); });
  }

  std::shared_ptr<UserDefaults> suiteLocked(const std::string& name) REQUIRES(mutex_) {
    auto& slot = suites_[name];
    if (!slot) slot.reset(new UserDefaults(name));
    return slot;
  }

  void start() REQUIRES(flushMutex_) {
    running_ = true;
    thread_ = new std::thread([this] { run(); });
    static bool exitHookInstalled = false;
    if (!exitHookInstalled) {
      exitHookInstalled = true;
      std::atexit([] { shared().stopAndFlush(); });
      std::at_quick_exit([] { shared().stopAndFlush(); });
    }
  }

  void run() {
    MutexLock lock(flushMutex_);
    while (!stopping_) {
      if (pending_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto now = SteadyClock::now();
      auto earliest = now + std::chrono::hours(1);
      std::vector<UserDefaults*> due;
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second <= now) {
          due.push_back(it->first);
          it = pending_.erase(it);
        } else {
          earliest = std::min(earliest, it->second);
          ++it;
        }
      }
      if (due.empty()) {
        wake_.waitUntil(lock, earliest);
        continue;
      }
      inFlight_ += static_cast<int>(due.size());
      lock.unlock();
      for (auto* suite : due) suite->synchronize();  // suites live as long as the process
      lock.lock();
      inFlight_ -= static_cast<int>(due.size());
      if (pending_.empty() && inFlight_ == 0) idle_.notify_all();
    }
  }

  // A forked child has no flusher thread and may have inherited locked primitives.
  void forgetThreadAfterFork() {
    new (&flushMutex_) Mutex;
    new (&wake_) ConditionVariable;
    new (&idle_) ConditionVariable;
    MutexLock lock(flushMutex_);
    thread_ = nullptr;  // the parent's thread object is left alone
    running_ = false;
    stopping_ = false;
    inFlight_ = 0;
  }

  Mutex mutex_;
  std::string standardName_ GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<UserDefaults>, std::less<>> suites_ GUARDED_BY(mutex_);

  Mutex flushMutex_;
  ConditionVariable wake_;
  ConditionVariable idle_;
  std::map<UserDefaults*, SteadyClock::time_point> pending_ GUARDED_BY(flushMutex_);
  // How long a suite whose file is held waits for its next try.
  std::map<UserDefaults*, SteadyClock::duration> retryDelays_ GUARDED_BY(flushMutex_);
  std::thread* thread_ GUARDED_BY(flushMutex_) = nullptr;
  bool running_ GUARDED_BY(flushMutex_) = false;
  bool stopping_ GUARDED_BY(flushMutex_) = false;
  int inFlight_ GUARDED_BY(flushMutex_) = 0;
};

std::shared_ptr<UserDefaults> UserDefaults::standard() { return UserDefaultsRegistry::shared().standard(); }

std::shared_ptr<UserDefaults> UserDefaults::suite(std::string_view name) {
  return UserDefaultsRegistry::shared().suite(name);
}

std::vector<std::string> UserDefaults::flushAll() {
  std::vector<std::string> told;
  for (auto& suite : UserDefaultsRegistry::shared().all()) {
    std::string line;
    if (suite->save(UserDefaults::Wait::WithinTheEnd, &line) != UserDefaults::Saved::Yes) {
      told.push_back(std::move(line));
    }
  }
  return told;
}

void UserDefaults::endWithin(std::optional<double> seconds) {
  if (!seconds) {
    SharedFile::endWaitsBy(std::nullopt);
    endAllowance.store(0);
    return;
  }
  endAllowance.store(*seconds);
  SharedFile::endWaitsBy(SteadyClock::now() +
                         std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(*seconds)));
}

bool UserDefaults::waitForPendingWrites(double timeoutSeconds) {
  auto& registry = UserDefaultsRegistry::shared();
  if (!registry.waitIdle(timeoutSeconds)) return false;
  for (auto& suite : registry.all()) {
    if (suite->hasUnsavedChanges()) return false;
  }
  return true;
}

void UserDefaults::resetCachesForTesting() {
  auto& registry = UserDefaultsRegistry::shared();
  for (auto& suite : registry.all()) {
    registry.unschedule(suite.get());
    suite->forget();
  }
}

UserDefaults::UserDefaults(std::string name)
    : name_(std::move(name)),
      file_({}, {.mode = kPreferencesMode,
                 .format = PropertyList::Format::Binary,
                 .report = [this](SharedDictionaryFile::Trouble trouble, const Error& error,
                                  const std::optional<fs::path>& aside) { report(trouble, error, aside); }}) {}

void UserDefaults::report(SharedDictionaryFile::Trouble trouble, const Error& error,
                          const std::optional<fs::path>& aside) const {
  if (trouble == SharedDictionaryFile::Trouble::Unreadable) {
    Console::log(format("UserDefaults: cannot read the preferences of suite \"%s\" now: %@", name_, error));
    return;
  }
  Console::log(format("UserDefaults: cannot read the preferences of suite \"%s\" (%@); starting empty, the file is "
                      "kept as %s",
                      name_, error, aside ? aside->filename().string() : std::string("(could not be moved aside)")));
}

void UserDefaults::useCurrentHomeLocked() const {
  if (loaded_) return;
  loaded_ = true;
  home_ = Home::path().string();
  file_.reopen(fileFor(home_, name_));
}

void UserDefaults::refresh() const {
  {
    MutexLock lock(mutex_);
    useCurrentHomeLocked();
  }
  file_.refresh();
}

Value UserDefaults::objectForKey(std::string_view key) const {
  refresh();
  if (std::optional<Value> stored = file_.value(key)) return std::move(*stored);
  MutexLock lock(mutex_);
  auto it = registered_.find(key);
  return it == registered_.end() ? Value() : it->second;
}

bool UserDefaults::boolForKey(std::string_view key) const { return objectForKey(key).boolValue(); }

std::int64_t UserDefaults::integerForKey(std::string_view key) const { return objectForKey(key).integerValue(); }

float UserDefaults::floatForKey(std::string_view key) const {
  return static_cast<float>(objectForKey(key).doubleValue());
}

double UserDefaults::doubleForKey(std::string_view key) const { return objectForKey(key).doubleValue(); }

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  Value value = objectForKey(key);
  if (value.isString() || value.isNumber()) return value.stringValue();
  return std::nullopt;
}

std::optional<Value::Array> UserDefaults::arrayForKey(std::string_view key) const {
  Value value = objectForKey(key);
  if (const auto* array = value.ifArray()) return *array;
  return std::nullopt;
}

std::optional<Value::Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
  Value value = objectForKey(key);
  if (const auto* dictionary = value.ifDictionary()) return *dictionary;
  return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(std::string_view key) const {
  Value value = objectForKey(key);
  if (const auto* data = value.ifData()) return *data;
  return std::nullopt;
}

bool UserDefaults::setObject(const Value& value, std::string_view key) {
  if (!value.isNull() && !isPropertyList(value)) {
    Console::log(format("UserDefaults: refusing to store a value that is not a property list for key \"%s\" in suite "
                        "\"%s\": %@",
                        key, name_, value));
    return false;
  }
  {
    MutexLock lock(mutex_);
    useCurrentHomeLocked();
    file_.set(key, value.isNull() ? std::nullopt : std::optional<Value>(value));
  }
  UserDefaultsRegistry::shared().schedule(this);
  NotificationCenter::defaultCenter().post(std::string(kUserDefaultsDidChangeNotification), this);
  return true;
}

bool UserDefaults::registerDefaults(const Value::Dictionary& defaults) {
  for (const auto& [key, value] : defaults) {
    if (!isPropertyList(value)) {
      Console::log(format("UserDefaults: refusing to register a value that is not a property list for key \"%s\": %@",
                          key, value));
      return false;
    }
  }
  MutexLock lock(mutex_);
  for (const auto& [key, value] : defaults) registered_.insert_or_assign(key, value);
  return true;
}

Value::Dictionary UserDefaults::dictionaryRepresentation() const {
  refresh();
  Value::Dictionary stored = file_.dictionary();
  MutexLock lock(mutex_);
  Value::Dictionary merged = registered_;
  for (auto& [key, value] : stored) merged.insert_or_assign(key, std::move(value));
  return merged;
}

bool UserDefaults::hasUnsavedChanges() const {
  return file_.hasUnsavedChanges();
}

bool UserDefaults::synchronize() {
  auto& registry = UserDefaultsRegistry::shared();
  switch (save(Wait::Briefly)) {
    case Saved::Yes:
      registry.wrote(this);
      return true;
    case Saved::Busy:
      registry.retryLater(this);
      return false;
    case Saved::Failed:
      return false;
  }
  return false;
}

UserDefaults::Saved UserDefaults::save(Wait wait, std::string* told) {
  MutexLock io(ioMutex_);
  if (!file_.hasUnsavedChanges()) return Saved::Yes;
  fs::path home;
  {
    MutexLock lock(mutex_);
    home = home_;  // fixed while ioMutex_ is held: only forget() changes it
  }
  Error error;
  if (saveChanges(home, wait, error)) {
    holdTold_ = false;
    return Saved::Yes;
  }
  const bool busy = SharedFile::isBusy(error);
  if (busy && wait == Wait::Briefly) {
    if (!std::exchange(holdTold_, true)) {
      Console::log(format("UserDefaults: another process holds the preferences of suite \"%s\"; they are saved once "
                          "it lets go (unsaved: %s)",
                          name_, unsavedKeys()));
    }
    return Saved::Busy;
  }
  std::string line = unsavedLine(error);
  Console::log(line);
  if (told) *told = std::move(line);
  return busy ? Saved::Busy : Saved::Failed;
}

std::string UserDefaults::unsavedKeys() const {
  bool cleared = false;
  const std::vector<std::string> keys = file_.unsavedKeys(cleared);
  std::string unsaved = cleared ? "the removal of every key" : "";
  std::size_t named = 0;
  for (const auto& key : keys) {
    if (named == kKeysNamed) {
      unsaved += format(" and %zu more", keys.size() - named);
      break;
    }
    if (!unsaved.empty()) unsaved += ", ";
    unsaved += key;
    ++named;
  }
  return unsaved;
}

std::string UserDefaults::unsavedLine(const Error& error) const {
  const std::string unsaved = unsavedKeys();
  const double allowance = endAllowance.load();
  if (SharedFile::isBusy(error) && SharedFile::waitsEndBy()) {
    return format("UserDefaults: the preferences of suite \"%s\" are not saved (unsaved: %s): another process held "
                  "the file's lock past the %g s allowed for the end of the process",
                  name_, unsaved, allowance);
  }
  return format("UserDefaults: cannot write the preferences of suite \"%s\" (unsaved: %s): %@", name_, unsaved,
                error);
}

bool UserDefaults::saveChanges(const fs::path& home, Wait wait, Error& error) {
  std::error_code ec;
  // Never bring back a home that was removed (a finished test's, a deleted install); Library
  // alone may be recreated (a reinstall keeps the home).
  if (!fs::is_directory(home, ec)) {
    error = Error(std::string(kCocoaErrorDomain), kFileNoSuchFileError,
                  Value::Dictionary{{std::string(kFilePathErrorKey), Value(home.string())},
                                    {std::string(kLocalizedDescriptionKey), Value("The home folder no longer exists.")}});
    return false;
  }
  if (!FileManager::defaultManager().createDirectory(fileFor(home, name_).parent_path(), true, &error)) return false;
  return file_.save(error, wait == Wait::Briefly ? kBriefLockWaitSeconds : SharedFile::kLockTimeoutSeconds);
}

void UserDefaults::removePersistentDomain() {
  bool removed = false;
  {
    MutexLock io(ioMutex_);
    {
      MutexLock lock(mutex_);
      useCurrentHomeLocked();
    }
    removed = file_.removeFile(kBriefLockWaitSeconds);
  }
  if (!removed) UserDefaultsRegistry::shared().retryLater(this);
}

void UserDefaults::forget() {
  // What cannot be written now goes with the values, so it is waited for, and named when lost.
  save(Wait::WithinTheEnd);
  MutexLock io(ioMutex_);
  MutexLock lock(mutex_);
  loaded_ = false;
  home_.clear();
  file_.reopen({});
  registered_.clear();
}

}  // namespace platform
