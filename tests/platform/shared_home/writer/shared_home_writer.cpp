// A second app process on a shared home: writes keys of its own into one of the home's stores
// from several threads, removing every other one again, while another process does the same.
//   shared_home_writer <home> keychain|defaults <name> <threads> <keys per thread>
// Keys are "<name>.<thread>.<i>"; the odd ones are removed after being written. Exits 0 only when
// every call reported success.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/home.h"
#include "platform/foundation/user_defaults.h"
#include "platform/security/keychain.h"

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

bool writeDefaults(const std::string& key, bool remove) {
  auto defaults = platform::UserDefaults::suite("shared");
  if (!defaults->setObject(Value(key), key) || !defaults->synchronize()) return false;
  if (!remove) return true;
  defaults->removeObjectForKey(key);
  return defaults->synchronize();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s <home> keychain|defaults <name> <threads> <keys per thread>\n", argv[0]);
    return 2;
  }
  platform::Home::set(argv[1]);
  const std::string store = argv[2], name = argv[3];
  const int threads = std::atoi(argv[4]), keys = std::atoi(argv[5]);
  auto write = store == "keychain" ? writeKeychain : writeDefaults;
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < keys; ++i) {
        const std::string key = name + "." + std::to_string(t) + "." + std::to_string(i);
        if (!write(key, i % 2 == 1)) {
          std::fprintf(stderr, "%s: writing %s failed\n", store.c_str(), key.c_str());
          ++failures;
        }
      }
    });
  }
  for (auto& writer : writers) writer.join();
  return failures == 0 ? 0 : 1;
}
