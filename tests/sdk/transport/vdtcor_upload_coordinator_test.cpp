#include "sdk/transport/core/vdtcor_upload_coordinator.h"

#include <gtest/gtest.h>

#include "platform/foundation/notification_center.h"
#include "sdk/transport/core/vdtcor_storage_event_selector.h"
#include "transport_fixture.h"

namespace transport_tests {
namespace {

using Uploads = std::vector<std::pair<VDTCORTarget, VDTCORUploadConditions>>;

class VDTCORUploadCoordinatorTest : public TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    uploader_ = std::make_shared<FakeUploader>();
    for (VDTCORTarget target : {1000, 1001, 1002, 1003}) {
      VDTCORRegistrar::sharedInstance()->registerUploader(uploader_, target);
    }
  }
  static std::shared_ptr<VDTCORUploadCoordinator> coordinator() { return VDTCORUploadCoordinator::sharedInstance(); }
  static void setNetwork(platform::NetworkReachabilityFlags flags) {
    platform::NetworkState::setFlagsForTesting(flags);
    platform::testing::runUntilIdle();
  }
  std::shared_ptr<FakeUploader> uploader_;
};

Uploads everyTarget(VDTCORUploadConditions conditions) {
  return {{1000, conditions}, {1001, conditions}, {1002, conditions}, {1003, conditions}};
}

TEST_F(VDTCORUploadCoordinatorTest, TheTimerFiresHalfASecondAfterCreationAndThenEveryThirtySeconds) {
  platform::testing::advance(0.4);
  EXPECT_TRUE(uploader_->uploads().empty());
  platform::testing::advance(0.1);
  EXPECT_EQ(uploader_->uploads(), everyTarget(kVDTCORUploadConditionWifi));
  uploader_->clear();
  platform::testing::advance(29.9);
  EXPECT_TRUE(uploader_->uploads().empty());
  platform::testing::advance(0.1);
  EXPECT_EQ(uploader_->uploads(), everyTarget(kVDTCORUploadConditionWifi));
}

TEST_F(VDTCORUploadCoordinatorTest, ConditionsFollowTheNetwork) {
  struct Case {
    const char* name;
    platform::NetworkReachabilityFlags flags;
    std::optional<VDTCORUploadConditions> timer;  // none: no uploader is asked
    std::optional<VDTCORUploadConditions> forced;
  };
  const std::vector<Case> cases = {
      {"wifi", kWifi, 4, 20},
      {"cellular", kCellular, 2, 18},
      {"offline", kOffline, std::nullopt, std::nullopt},
      {"connection required", platform::NetworkReachabilityFlag::kReachable |
                                  platform::NetworkReachabilityFlag::kConnectionRequired,
       std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    setNetwork(c.flags);
    uploader_->clear();
    platform::testing::advance(30);
    EXPECT_EQ(uploader_->uploads(), c.timer ? everyTarget(*c.timer) : Uploads{}) << c.name;
    uploader_->clear();
    coordinator()->forceUploadForTarget(1002);
    platform::testing::runUntilIdle();
    const Uploads forced = c.forced ? Uploads{{1002, *c.forced}} : Uploads{};
    EXPECT_EQ(uploader_->uploads(), forced) << c.name;
  }
}

TEST_F(VDTCORUploadCoordinatorTest, AChangeToNoNetworkIsKeptAsNoNetwork) {
  EXPECT_EQ(coordinator()->uploadConditions(), kVDTCORUploadConditionWifi);
  setNetwork(kCellular);
  EXPECT_EQ(coordinator()->uploadConditions(), kVDTCORUploadConditionCellular);
  setNetwork(kOffline);
  EXPECT_EQ(VDTCORReachability::currentFlags(), 0u);
  EXPECT_EQ(coordinator()->uploadConditions(), kVDTCORUploadConditionNoNetwork);
}

TEST_F(VDTCORUploadCoordinatorTest, AForcedUploadOfATargetWithoutUploaderAsksNobody) {
  coordinator()->forceUploadForTarget(999);
  platform::testing::runUntilIdle();
  EXPECT_TRUE(uploader_->uploads().empty());
}

TEST_F(VDTCORUploadCoordinatorTest, ASecondUploaderForATargetReplacesTheFirst) {
  auto second = std::make_shared<FakeUploader>();
  VDTCORRegistrar::sharedInstance()->registerUploader(second, 1000);
  coordinator()->forceUploadForTarget(1000);
  platform::testing::runUntilIdle();
  EXPECT_TRUE(uploader_->uploads().empty());
  EXPECT_EQ(second->uploads(), (Uploads{{1000, 20}}));
}

TEST_F(VDTCORUploadCoordinatorTest, InTheBackgroundOnlyForcedUploadsGoAndTheForegroundRestartsAndSweeps) {
  auto expired = makeEvent("137", 1001);
  expired->setExpirationDate(platform::Date::now().addingTimeInterval(60));
  ASSERT_TRUE(store(expired).first);

  platform::UIDriver::enterBackground();
  platform::testing::runUntilIdle();
  EXPECT_TRUE(VDTCORApplication::sharedApplication()->isRunningInBackground());
  EXPECT_FALSE(coordinator()->timerIsRunning());
  platform::testing::advance(90);
  EXPECT_TRUE(uploader_->uploads().empty());
  coordinator()->forceUploadForTarget(1001);
  platform::testing::runUntilIdle();
  EXPECT_EQ(uploader_->uploads(), (Uploads{{1001, 20}}));
  EXPECT_EQ(fileNames(targetDirectory(1001)).size(), 1u);

  uploader_->clear();
  platform::UIDriver::enterForeground();
  platform::testing::runUntilIdle();
  EXPECT_FALSE(VDTCORApplication::sharedApplication()->isRunningInBackground());
  EXPECT_TRUE(coordinator()->timerIsRunning());
  EXPECT_TRUE(fileNames(targetDirectory(1001)).empty());
  platform::testing::advance(0.5);
  EXPECT_EQ(uploader_->uploads(), everyTarget(kVDTCORUploadConditionWifi));
}

TEST_F(VDTCORUploadCoordinatorTest, ATickWhileTheWrapperSaysBackgroundAsksNobody) {
  // The platform's scene notification alone moves the wrapper to the background.
  platform::NotificationCenter::defaultCenter().post("UISceneWillDeactivateNotification");
  coordinator()->startTimer();
  platform::testing::advance(31);
  EXPECT_TRUE(uploader_->uploads().empty());
  platform::NotificationCenter::defaultCenter().post("UISceneWillEnterForegroundNotification");
  platform::testing::advance(30);
  EXPECT_EQ(uploader_->uploads(), everyTarget(kVDTCORUploadConditionWifi));
}

TEST_F(VDTCORUploadCoordinatorTest, StorageForATargetWithoutOneIsNoneWithAnAssertion) {
  platform::testing::LogCapture log;
  EXPECT_EQ(coordinator()->storageForTarget(1002), storage());
  EXPECT_EQ(coordinator()->storageForTarget(5), nullptr);
  EXPECT_TRUE(log.contains("A storage must be registered for target 5"));
}

}  // namespace
}  // namespace transport_tests
