#include "sdk/utilities/utilities/vul_heartbeat_date_storage.h"

#include <gtest/gtest.h>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/user_defaults.h"
#include "sdk/utilities/utilities/vul_heartbeat_date_storage_user_defaults.h"
#include "sdk/utilities/utilities/vul_secure_coding.h"

namespace {

using platform::Date;
using platform::Value;

const Date kDate = Date::fromTimeIntervalSince1970(1'780'000'000);

std::filesystem::path heartbeatFile(std::string_view name) {
  return platform::Home::applicationSupport() / "Videzu" / "VDZApp" / std::string(name);
}

void writeArchive(std::string_view name, const Value& root) {
  const auto data = VULSecureCoding::archivedDataWithRootObject(root, nullptr);
  ASSERT_TRUE(data);
  platform::FileManager::defaultManager().createDirectory(heartbeatFile(name).parent_path());
  ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(heartbeatFile(name), *data));
}

TEST(VULHeartbeatDateStorageTest, WritingCreatesTheDirectoryAndReadsBack) {
  platform::FileManager::defaultManager().removeItem(heartbeatFile("beats").parent_path());
  const auto storage = VULHeartbeatDateStorage::initWithFileName("beats");
  ASSERT_TRUE(storage);
  EXPECT_FALSE(storage->heartbeatDateForTag("tag"));
  ASSERT_TRUE(storage->setHearbeatDate(kDate, "tag"));
  EXPECT_TRUE(platform::FileManager::defaultManager().fileExists(heartbeatFile("beats")));
  EXPECT_EQ(storage->heartbeatDateForTag("tag"), kDate);
  // Another store of the same file sees it: the date lives on disk.
  EXPECT_EQ(VULHeartbeatDateStorage::initWithFileName("beats")->heartbeatDateForTag("tag"), kDate);
  EXPECT_FALSE(VULHeartbeatDateStorage::initWithFileName(""));
}

TEST(VULHeartbeatDateStorageTest, StoresOfDifferentFilesKeepSeparateDates) {
  const auto one = VULHeartbeatDateStorage::initWithFileName("one");
  const auto two = VULHeartbeatDateStorage::initWithFileName("two");
  ASSERT_TRUE(one->setHearbeatDate(kDate, "tag"));
  ASSERT_TRUE(two->setHearbeatDate(kDate.addingTimeInterval(5), "tag"));
  ASSERT_TRUE(one->setHearbeatDate(kDate.addingTimeInterval(9), "other"));
  EXPECT_EQ(one->heartbeatDateForTag("tag"), kDate);
  EXPECT_EQ(two->heartbeatDateForTag("tag"), kDate.addingTimeInterval(5));
  EXPECT_FALSE(two->heartbeatDateForTag("other"));
}

TEST(VULHeartbeatDateStorageTest, OddFilesReadAsEmptyAndAreReplacedOnTheNextWrite) {
  struct Case {
    const char* label;
    std::function<void()> write;
  };
  const Case cases[] = {
      {"damaged", [] {
         platform::FileManager::defaultManager().createDirectory(heartbeatFile("odd").parent_path());
         ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(heartbeatFile("odd"),
                                                                             std::string_view("not an archive")));
       }},
      {"empty file", [] {
         ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(heartbeatFile("odd"), std::string_view()));
       }},
      {"empty dictionary", [] { writeArchive("odd", Value(Value::Dictionary{})); }},
      {"not a dictionary", [] { writeArchive("odd", Value::array({Value(kDate)})); }},
      {"a number among the dates", [] {
         writeArchive("odd", Value::dictionary({{"tag", Value(kDate)}, {"count", 3}}));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    c.write();
    const auto storage = VULHeartbeatDateStorage::initWithFileName("odd");
    EXPECT_FALSE(storage->heartbeatDateForTag("tag"));
    ASSERT_TRUE(storage->setHearbeatDate(kDate, "new"));
    EXPECT_EQ(storage->heartbeatDateForTag("new"), kDate);
    EXPECT_FALSE(storage->heartbeatDateForTag("tag"));
  }
}

TEST(VULHeartbeatDateStorageTest, AValueThatIsNotADateReadsAsNone) {
  writeArchive("mixed", Value::dictionary({{"text", "yesterday"}, {"date", Value(kDate)}}));
  const auto storage = VULHeartbeatDateStorage::initWithFileName("mixed");
  EXPECT_FALSE(storage->heartbeatDateForTag("text"));
  EXPECT_EQ(storage->heartbeatDateForTag("date"), kDate);
}

TEST(VULHeartbeatDateStorageUserDefaultsTest, KeepsTheDatesInOneValue) {
  const auto defaults = platform::UserDefaults::standard();
  VULHeartbeatDateStorageUserDefaults storage(defaults, "heartbeats");
  EXPECT_FALSE(storage.heartbeatDateForTag("tag"));
  EXPECT_TRUE(storage.setHearbeatDate(kDate, "tag"));
  EXPECT_TRUE(storage.setHearbeatDate(kDate.addingTimeInterval(1), "other"));
  EXPECT_EQ(storage.heartbeatDateForTag("tag"), kDate);
  EXPECT_EQ(defaults->objectForKey("heartbeats"),
            Value::dictionary({{"tag", Value(kDate)}, {"other", Value(kDate.addingTimeInterval(1))}}));

  // Whatever else was stored under the key, only dates are answered.
  defaults->setObject(Value::dictionary({{"tag", "text"}}), "heartbeats");
  EXPECT_FALSE(storage.heartbeatDateForTag("tag"));
}

TEST(VULSecureCodingTest, ArchiverExceptionsBecomeErrors) {
  platform::Error error;
  // A string with a NUL character cannot be archived.
  const auto data = VULSecureCoding::archivedDataWithRootObject(Value(std::string("a\0b", 3)), &error);
  EXPECT_FALSE(data);
  EXPECT_EQ(error.domain(), "VULSecureCodingError");
  EXPECT_EQ(error.code(), -1);
  EXPECT_EQ(error.localizedFailureReason().rfind("NSKeyedArchiver exception with name: NSInvalidArgumentException, "
                                                 "reason: ",
                                                 0),
            0u);
}

TEST(VULSecureCodingTest, UnarchivingChecksTheAllowedClasses) {
  const auto data = VULSecureCoding::archivedDataWithRootObject(Value::dictionary({{"tag", Value(kDate)}}), nullptr);
  ASSERT_TRUE(data);
  platform::Error error;
  EXPECT_EQ(VULSecureCoding::unarchivedObjectOfClasses({"NSDictionary", "NSDate", "NSString"}, *data, &error).value(),
            Value::dictionary({{"tag", Value(kDate)}}));
  EXPECT_FALSE(error);
  EXPECT_TRUE(VULSecureCoding::unarchivedObjectOfClass("NSString", *data, &error).isNil());
  EXPECT_TRUE(error);
}

}  // namespace
