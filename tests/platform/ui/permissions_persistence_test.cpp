#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/privacy_store.h"
#include "platform/foundation/property_list.h"
#include "platform/notifications/notification_driver.h"
#include "platform/notifications/user_notification_center.h"
#include "platform/photos/photo_library.h"
#include "platform/photos/photos_driver.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

using NotifyStatus = AuthorizationStatus;
using PhotoStatus = PhotoAuthorizationStatus;

class PermissionsPersistenceTest : public ::testing::Test {
 protected:
  void SetUp() override { resetAll(); }
  void TearDown() override {
    testing::runUntilIdle();
    resetAll();
  }

  static void resetAll() {
    NotificationDriver::reset();
    PhotosDriver::reset();
  }

  static void relaunch() {
    NotificationDriver::forgetForRelaunch();
    PhotosDriver::forgetForRelaunch();
  }

  static NotifyStatus notificationStatus() {
    return UserNotificationCenter::current()->notificationSettings().authorizationStatus;
  }

  static PhotoStatus photoStatus() {
    return PhotoLibrary::authorizationStatusForAccessLevel(PhotoAccessLevel::ReadWrite);
  }

  static void askNotifications() {
    UserNotificationCenter::current()->requestAuthorization(kAuthorizationOptionAlert, {});
    testing::drain(UserNotificationCenter::current()->queue());
  }

  static void askPhotos() {
    PhotoLibrary::requestAuthorizationForAccessLevel(PhotoAccessLevel::ReadWrite, {});
    testing::drain(PhotoLibrary::sharedPhotoLibrary()->queue());
  }

  static void writeStore(const std::string& bytes) {
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(PrivacyStore::path().parent_path()));
    ASSERT_TRUE(FileManager::defaultManager().writeAtomically(PrivacyStore::path(), bytes));
  }

  static std::string xmlStore(const Value& dictionary) {
    auto bytes = PropertyList::write(dictionary, PropertyList::Format::XML);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
  }
};

TEST_F(PermissionsPersistenceTest, TheUsersAnswerSurvivesARelaunchAndIsNotAskedAgain) {
  struct Case {
    bool grant;
    NotifyStatus notify;
    PhotoStatus photoAnswer;
  };
  const Case cases[] = {
      {true, NotifyStatus::Authorized, PhotoStatus::Authorized},
      {false, NotifyStatus::Denied, PhotoStatus::Denied},
      {true, NotifyStatus::Authorized, PhotoStatus::Limited},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.photoAnswer));
    // The last case's answers are on disk: start each case undecided there too.
    NotificationDriver::setAuthorizationStatus(NotifyStatus::NotDetermined);
    PhotosDriver::setAuthorizationStatus(PhotoStatus::NotDetermined);
    relaunch();
    NotificationDriver::setAuthorizationAnswer(c.grant);
    PhotosDriver::setAuthorizationAnswer(c.photoAnswer);
    askNotifications();
    askPhotos();
    ASSERT_EQ(NotificationDriver::authorizationPromptCount(), 1);
    ASSERT_EQ(PhotosDriver::authorizationPromptCount(), 1);

    relaunch();
    EXPECT_EQ(notificationStatus(), c.notify);
    EXPECT_EQ(photoStatus(), c.photoAnswer);
    // The new process would now be answered the other way, but is not asked at all.
    NotificationDriver::setAuthorizationAnswer(!c.grant);
    PhotosDriver::setAuthorizationAnswer(PhotoStatus::Restricted);
    askNotifications();
    askPhotos();
    EXPECT_EQ(NotificationDriver::authorizationPromptCount(), 0);
    EXPECT_EQ(PhotosDriver::authorizationPromptCount(), 0);
    EXPECT_EQ(notificationStatus(), c.notify);
    EXPECT_EQ(photoStatus(), c.photoAnswer);
  }
}

TEST_F(PermissionsPersistenceTest, AStatusSetAsTheSystemsSettingsSurvivesARelaunch) {
  struct Case {
    NotifyStatus notify;
    PhotoStatus photos;
  };
  const Case cases[] = {
      {NotifyStatus::Denied, PhotoStatus::Restricted},
      {NotifyStatus::Provisional, PhotoStatus::Limited},
      // Set back to undecided: the next launch asks again.
      {NotifyStatus::NotDetermined, PhotoStatus::NotDetermined},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.notify));
    NotificationDriver::setAuthorizationStatus(c.notify);
    PhotosDriver::setAuthorizationStatus(c.photos);
    relaunch();
    EXPECT_EQ(notificationStatus(), c.notify);
    EXPECT_EQ(photoStatus(), c.photos);
  }
}

TEST_F(PermissionsPersistenceTest, ResetClearsTheMemoryButNotTheFile) {
  NotificationDriver::setAuthorizationStatus(NotifyStatus::Authorized);
  PhotosDriver::setAuthorizationStatus(PhotoStatus::Denied);
  resetAll();
  EXPECT_EQ(notificationStatus(), NotifyStatus::NotDetermined);
  EXPECT_EQ(photoStatus(), PhotoStatus::NotDetermined);
  relaunch();
  EXPECT_EQ(notificationStatus(), NotifyStatus::Authorized);
  EXPECT_EQ(photoStatus(), PhotoStatus::Denied);
}

TEST_F(PermissionsPersistenceTest, AnUnusableFileMeansNotDeterminedAndIsReplacedByTheNextAnswer) {
  const std::string cases[] = {
      "",
      "not a property list \x01\xff",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>photos</key>",
      xmlStore(Value::array({Value(3)})),
      xmlStore(Value::dictionary({{"notifications", Value("authorized")}, {"photos", Value(true)}})),
      xmlStore(Value::dictionary({{"notifications", Value(99)}, {"photos", Value(-1)}})),
  };
  for (const auto& bytes : cases) {
    SCOPED_TRACE(bytes);
    writeStore(bytes);
    relaunch();
    EXPECT_EQ(notificationStatus(), NotifyStatus::NotDetermined);
    EXPECT_EQ(photoStatus(), PhotoStatus::NotDetermined);

    askNotifications();
    askPhotos();
    EXPECT_EQ(NotificationDriver::authorizationPromptCount(), 1);
    EXPECT_EQ(PhotosDriver::authorizationPromptCount(), 1);
    relaunch();
    EXPECT_EQ(notificationStatus(), NotifyStatus::Authorized);
    EXPECT_EQ(photoStatus(), PhotoStatus::Authorized);
  }
}

// Trouble reading is not damage: an answer given meanwhile must not replace the stored ones.
TEST_F(PermissionsPersistenceTest, AFileThatCannotBeReadNowKeepsItsAnswers) {
  writeStore(xmlStore(Value::dictionary({{"photos", Value(3)}})));
  {
    testing::UnreadableFile unreadable(PrivacyStore::path());
    Error error;
    EXPECT_FALSE(PrivacyStore::setStatus("notifications", 2, &error));
    EXPECT_FALSE(error.domain().empty());
    EXPECT_FALSE(PrivacyStore::status("photos"));
  }
  EXPECT_EQ(PrivacyStore::status("photos"), 3);
  EXPECT_FALSE(PrivacyStore::status("notifications"));
}

TEST_F(PermissionsPersistenceTest, BothAnswersShareOnePrivateFile) {
  // Asked at once on their own queues: neither write may drop the other's answer.
  NotificationDriver::setAuthorizationAnswer(false);
  PhotosDriver::setAuthorizationAnswer(PhotoStatus::Limited);
  UserNotificationCenter::current()->requestAuthorization(kAuthorizationOptionAlert, {});
  PhotoLibrary::requestAuthorizationForAccessLevel(PhotoAccessLevel::ReadWrite, {});
  testing::runUntilIdle();
  testing::drain(UserNotificationCenter::current()->queue());
  testing::drain(PhotoLibrary::sharedPhotoLibrary()->queue());

  struct stat info {};
  ASSERT_EQ(::stat(PrivacyStore::path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  auto bytes = FileManager::defaultManager().contentsAtPath(PrivacyStore::path());
  ASSERT_TRUE(bytes);
  auto stored = PropertyList::read(*bytes);
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)["notifications"], Value(static_cast<int>(NotifyStatus::Denied)));
  EXPECT_EQ((*stored)["photos"], Value(static_cast<int>(PhotoStatus::Limited)));
}

TEST_F(PermissionsPersistenceTest, EachHomeHasItsOwnAnswers) {
  const auto first = Home::path();
  NotificationDriver::setAuthorizationStatus(NotifyStatus::Denied);
  PhotosDriver::setAuthorizationStatus(PhotoStatus::Authorized);
  {
    testing::TemporaryHome other;
    EXPECT_EQ(notificationStatus(), NotifyStatus::NotDetermined);
    EXPECT_EQ(photoStatus(), PhotoStatus::NotDetermined);
    askPhotos();
    Home::set(first);
  }
  EXPECT_EQ(notificationStatus(), NotifyStatus::Denied);
  EXPECT_EQ(photoStatus(), PhotoStatus::Authorized);
}

}  // namespace
}  // namespace platform
