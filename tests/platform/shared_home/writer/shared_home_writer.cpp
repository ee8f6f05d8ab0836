// A second app process on a shared home: writes keys of its own into one of the home's stores
// from several threads, removing every other one again, while another process does the same.
//   shared_home_writer <home> keychain|defaults|dictionary <name> <threads> <keys per thread>
// Keys are "<name>.<thread>.<i>"; the odd ones are removed after being written. Exits 0 only when
// every call reported success.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/home.h"
#include "platform/foundation/user_defaults.h"
#include "platform/security/keychain.h"
#include "sdk/analytics/storage/apm_persistent_dictionary.h"

namespace {

using platform::Value;

Value::Dictionary item(const std::string& account) {
  return {{std::string(platform::kSecClass), Value(platform::kSecClassGenericPassword)},
          {std::string(platform::kSecAttrService), Value("shared-home")},
          {std::string(platform::kSecAttrAccount), Value(account)}};
}

platform::Data bytes(const std::string& text) { return platform::Data(text.begin(), text.end()); }

bool writeKeychain(const std::string& key, bool remove) {
  auto attributes = item(key);
  attributes[std::string(platform::kSecValueData)] = Value(bytes("first"));
  if (platform::SecItemAdd(attributes) != platform::errSecSuccess) return false;
  if (remove) return platform::SecItemDelete(item(key)) == platform::errSecSuccess;
  return platform::SecItemUpdate(item(key), {{std::string(platform::kSecValueData), Value(bytes(key))}}) ==
         platform::errSecSuccess;
}

// A write that meets the other writer's hold for longer than a moment is left to the flusher;
// here it is waited for instead, as the end of a process waits.
bool saveDefaults(platform::UserDefaults& defaults) {
  return defaults.synchronize() || platform::UserDefaults::flushAll().empty();
}

bool writeDefaults(const std::string& key, bool remove) {
  auto defaults = platform::UserDefaults::suite("shared");
  if (!defaults->setObject(Value(key), key) || !saveDefaults(*defaults)) return false;
  if (!remove) return true;
  defaults->removeObjectForKey(key);
  return saveDefaults(*defaults);
}

// Runs `write(key, i)` for every key of every thread, on that many threads; the number of failures.
int onThreads(const std::string& name, int threads, int keys,
              const std::function<bool(const std::string&, int)>& write) {
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < keys; ++i) {
        const std::string key = name + "." + std::to_string(t) + "." + std::to_string(i);
        if (!write(key, i)) {
          std::fprintf(stderr, "writing %s failed\n", key.c_str());
          ++failures;
        }
      }
    });
  }
  for (auto& writer : writers) writer.join();
  return failures;
}

// The property-list store writes on its own schedule, a second after a change, and at release:
// the keys are set and left to the scheduled write, then the odd ones are removed and left to the
// release's write. Both processes load the store before either writes.
int writeDictionary(const std::string& name, int threads, int keys) {
  auto store = APMPersistentDictionary::initWithFileName("shared");
  if (!store) return 1;
  int failures = onThreads(name, threads, keys, [&](const std::string& key, int) {
    store->setObject(Value(key), key);
    return store->stringForKey(key) == key;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (store->hasPendingPersistence() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (store->hasPendingPersistence()) {
    std::fprintf(stderr, "the scheduled write did not come\n");
    return 1;
  }
  store->serialQueue()->sync([] {});  // the write itself has finished
  failures += onThreads(name, threads, keys, [&](const std::string& key, int i) {
    if (i % 2 == 1) store->removeObjectForKey(key);
    return store->objectForKey(key).isNull() == (i % 2 == 1);
  });
  store.reset();
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s <home> keychain|defaults|dictionary <name> <threads> <keys per thread>\n",
                 argv[0]);
    return 2;
  }
  platform::Home::set(argv[1]);
  const std::string store = argv[2], name = argv[3];
  const int threads = std::atoi(argv[4]), keys = std::atoi(argv[5]);
  int failures = 0;
  if (store == "dictionary") {
    failures = writeDictionary(name, threads, keys);
  } else {
    auto write = store == "keychain" ? writeKeychain : writeDefaults;
    failures = onThreads(name, threads, keys, [&](const std::string& key, int i) { return write(key, i % 2 == 1); });
  }
  return failures == 0 ? 0 : 1;
}
