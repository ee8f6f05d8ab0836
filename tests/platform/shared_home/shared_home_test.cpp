// Two app processes on one home, each writing keys of its own into the same store at the same
// time: every key either process saved is on disk afterwards, every key it removed is gone, and a
// process that had the store loaded before sees the others' keys and keeps them when it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/user_defaults.h"
#include "platform/security/keychain.h"
#include "platform/testing/child_process.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/storage/apm_persistent_dictionary.h"
#include "sdk/analytics/storage/apm_storage_paths.h"

namespace platform {
namespace {

constexpr int kThreads = 2;
constexpr int kKeysPerThread = 12;
constexpr double kChildTimeLimitSeconds = 120;

Value::Dictionary keychainItem(const std::string& account) {
  return {{std::string(kSecClass), Value(kSecClassGenericPassword)},
          {std::string(kSecAttrService), Value("shared-home")},
          {std::string(kSecAttrAccount), Value(account)}};
}

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

std::optional<Value> readPropertyList(const std::filesystem::path& file) {
  auto contents = FileManager::defaultManager().contentsAtPath(file);
  return contents ? PropertyList::read(*contents) : std::nullopt;
}

// The key -> value pairs on disk, read independently of the store's code.
std::map<std::string, std::string> keychainOnDisk() {
  std::map<std::string, std::string> found;
  auto root = readPropertyList(Home::keychain() / "keychain.plist");
  if (!root) return found;
  for (const auto& entry : root->arrayOrEmpty()) {
    const auto* item = entry.ifDictionary();
    if (!item) continue;
    auto account = item->find(kSecAttrAccount), data = item->find(kSecValueData);
    if (account == item->end() || data == item->end() || !data->second.isData()) continue;
    const Data& value = *data->second.ifData();
    found[account->second.stringValue()] = std::string(value.begin(), value.end());
  }
  return found;
}

std::map<std::string, std::string> defaultsOnDisk() {
  std::map<std::string, std::string> found;
  auto root = readPropertyList(Home::preferences() / "shared.plist");
  if (!root || !root->isDictionary()) return found;
  for (const auto& [key, value] : *root->ifDictionary()) found[key] = value.stringValue();
  return found;
}

std::map<std::string, std::string> dictionaryOnDisk() {
  std::map<std::string, std::string> found;
  auto root = readPropertyList(APMMeasurementPlistPath("shared"));
  if (!root || !root->isDictionary()) return found;
  for (const auto& [key, value] : *root->ifDictionary()) found[key] = value.stringValue();
  return found;
}

// The parent's property-list store stays loaded through the test, as the engine's does.
APMPersistentDictionary& parentDictionary() {
  static const auto store = APMPersistentDictionary::initWithFileName("shared");
  return *store;
}

struct Store {
  const char* name;
  std::function<void(const std::string&)> writeInParent;
  std::function<std::optional<std::string>(const std::string&)> readInParent;
  std::function<std::map<std::string, std::string>()> onDisk;
};

const Store kStores[] = {
    {"keychain",
     [](const std::string& key) {
       auto attributes = keychainItem(key);
       attributes[std::string(kSecValueData)] = Value(bytes(key));
       ASSERT_EQ(SecItemAdd(attributes), errSecSuccess) << key;
     },
     [](const std::string& key) -> std::optional<std::string> {
       std::optional<Data> data;
       if (SecItemCopyMatching(keychainItem(key), &data) != errSecSuccess || !data) return std::nullopt;
       return std::string(data->begin(), data->end());
     },
     keychainOnDisk},
    {"defaults",
     [](const std::string& key) {
       auto defaults = UserDefaults::suite("shared");
       defaults->setObject(Value(key), key);
       ASSERT_TRUE(defaults->synchronize()) << key;
     },
     [](const std::string& key) { return UserDefaults::suite("shared")->stringForKey(key); },
     defaultsOnDisk},
    {"dictionary",
     [](const std::string& key) {
       parentDictionary().setObject(Value(key), key);
       // The store writes a second after a change.
       testing::advance(1.0);
       testing::drain(parentDictionary().serialQueue());
       ASSERT_FALSE(parentDictionary().hasPendingPersistence()) << key;
     },
     [](const std::string& key) { return parentDictionary().stringForKey(key); },
     dictionaryOnDisk},
};

TEST(SharedHomeTest, TwoProcessesWritingDisjointKeysKeepEveryKeyOfBoth) {
  for (const Store& store : kStores) {
    SCOPED_TRACE(store.name);
    store.writeInParent("parent.before");  // the parent's copy is loaded before the others write

    const std::vector<std::string> names{"first", "second"};
    std::vector<testing::ChildProcess> children;
    for (const auto& name : names) {
      auto child = testing::ChildProcess::spawn(
          SHARED_HOME_WRITER, {Home::path().string(), store.name, name, std::to_string(kThreads),
                               std::to_string(kKeysPerThread)});
      ASSERT_TRUE(child) << name;
      children.push_back(std::move(*child));
    }
    for (auto& child : children) {
      const auto status = child.waitFor(kChildTimeLimitSeconds);
      ASSERT_EQ(testing::describeEnd(status, child.errorOutput()), "") << "a writer failed";
    }

    std::map<std::string, std::string> expected{{"parent.before", "parent.before"}};
    std::set<std::string> removed;
    for (const auto& name : names) {
      for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kKeysPerThread; ++i) {
          const std::string key = name + "." + std::to_string(t) + "." + std::to_string(i);
          if (i % 2 == 0) {
            expected[key] = key;
          } else {
            removed.insert(key);
          }
        }
      }
    }
    EXPECT_EQ(store.onDisk(), expected);

    // The parent sees what the others saved, and its next write keeps all of it.
    for (const auto& [key, value] : expected) EXPECT_EQ(store.readInParent(key), value) << key;
    for (const auto& key : removed) EXPECT_EQ(store.readInParent(key), std::nullopt) << key;
    store.writeInParent("parent.after");
    expected["parent.after"] = "parent.after";
    EXPECT_EQ(store.onDisk(), expected);
  }
}

}  // namespace
}  // namespace platform
