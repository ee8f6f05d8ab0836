#include "sdk/transport/core/vdtcor_registrar.h"

#include <gtest/gtest.h>

#include "platform/foundation/notification_center.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"
#include "transport_fixture.h"

namespace transport_tests {
namespace {

// A storage with only the callback interface.
class CallbackOnlyStorage final : public VDTCORStorageProtocol {
 public:
  void storeEvent(std::shared_ptr<VDTCOREvent>, StoreCompletion) override {}
  void hasEventsForTarget(VDTCORTarget, std::function<void(bool)>) override {}
  void batchWithEventSelector(std::shared_ptr<VDTCORStorageEventSelector>, platform::Date, BatchCompletion) override {}
  void removeBatchWithID(std::int64_t, bool, std::function<void()>) override {}
  void batchIDsForTarget(VDTCORTarget, std::function<void(std::optional<VDTCORBatchIDs>)>) override {}
  void checkForExpirations() override {}
  void storeLibraryData(platform::Data, std::string, ErrorCompletion) override {}
  void libraryDataForKey(std::string, FetchCompletion, NewValueBlock) override {}
  void removeLibraryDataForKey(std::string, ErrorCompletion) override {}
  void storageSizeWithCallback(std::function<void(std::uint64_t)>) override {}
  std::shared_ptr<VDTCORStorageDelegate> delegate() const override { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<VDTCORStorageDelegate> delegate) override { delegate_ = std::move(delegate); }
  void appWillBackground(VDTCORApplication&) override { ++backgrounds; }
  int backgrounds = 0;

 private:
  std::weak_ptr<VDTCORStorageDelegate> delegate_;
};

using VDTCORRegistrarTest = TransportTest;

TEST_F(VDTCORRegistrarTest, TheLoadHooksLeaveTheMetricsControllerAsTheSharedStoragesDelegate) {
  EXPECT_EQ(storage()->delegate(), VDTCORMetricsController::sharedInstance());
  EXPECT_EQ(VDTCORLookUpStorage(1002), storage());
  EXPECT_EQ(VDTCORLookUpMetricsController(1001), VDTCORMetricsController::sharedInstance());
  EXPECT_EQ(VDTCORLookUpMetricsController(1000), nullptr);
  EXPECT_EQ(VDTCORLookUpStorage(5), nullptr);
}

TEST_F(VDTCORRegistrarTest, AMetricsControllerBecomesTheStoragesDelegateWhicheverRegistersFirst) {
  for (bool storageFirst : {true, false}) {
    VDTCORRegistrar::resetSharedInstanceForTesting();
    auto registrar = VDTCORRegistrar::sharedInstance();
    auto storage = std::make_shared<CallbackOnlyStorage>();
    auto controller = VDTCORMetricsController::initWithStorage(TransportTest::storage());
    if (storageFirst) {
      registrar->registerStorage(storage, 1002);
      registrar->registerMetricsController(controller, 1002);
    } else {
      registrar->registerMetricsController(controller, 1002);
      registrar->registerStorage(storage, 1002);
    }
    EXPECT_EQ(registrar->targetToStorage().size(), 1u);
    EXPECT_EQ(storage->delegate(), controller) << storageFirst;
    // Only a storage with the promise interface is handed to uploaders.
    EXPECT_EQ(VDTCORLookUpStorage(1002), nullptr);
  }
}

TEST_F(VDTCORRegistrarTest, BackgroundReachesTheStorageOncePerTargetAndTheUploaderOncePerTarget) {
  auto uploader = std::make_shared<FakeUploader>();
  auto extra = std::make_shared<CallbackOnlyStorage>();
  for (VDTCORTarget target : {1000, 1001, 1002, 1003}) VDTCORRegistrar::sharedInstance()->registerUploader(uploader, target);
  VDTCORRegistrar::sharedInstance()->registerStorage(extra, 5);
  VDTCORRegistrar::sharedInstance()->registerStorage(extra, 6);

  platform::UIDriver::enterBackground();
  platform::testing::runUntilIdle();
  EXPECT_EQ(uploader->lifecycleCount("background"), 4);
  EXPECT_EQ(extra->backgrounds, 2);
  EXPECT_EQ(app_->openBackgroundTaskCount(), 0u);

  platform::UIDriver::enterForeground();
  platform::UIDriver::terminate();
  EXPECT_EQ(uploader->lifecycleCount("foreground"), 4);
  EXPECT_EQ(uploader->lifecycleCount("terminate"), 4);
}

TEST_F(VDTCORRegistrarTest, TheWrapperRepostsLifecycleNotificationsUnderTheTransportsNames) {
  std::vector<std::string> heard;
  auto& center = platform::NotificationCenter::defaultCenter();
  std::vector<std::shared_ptr<platform::NotificationObserver>> observers;
  for (auto name : {kVDTCORApplicationDidEnterBackgroundNotification, kVDTCORApplicationWillEnterForegroundNotification,
                    kVDTCORApplicationWillTerminateNotification}) {
    observers.push_back(center.addObserver(std::string(name), nullptr, nullptr,
                                           [&heard](const platform::Notification& n) { heard.push_back(n.name); }));
  }
  auto wrapper = VDTCORApplication::sharedApplication();
  EXPECT_FALSE(wrapper->isRunningInBackground());
  platform::UIDriver::enterBackground();
  EXPECT_TRUE(wrapper->isRunningInBackground());
  platform::UIDriver::enterForeground();
  EXPECT_FALSE(wrapper->isRunningInBackground());
  platform::UIDriver::terminate();
  EXPECT_FALSE(wrapper->isRunningInBackground());
  EXPECT_EQ(heard, (std::vector<std::string>{std::string(kVDTCORApplicationDidEnterBackgroundNotification),
                                             std::string(kVDTCORApplicationWillEnterForegroundNotification),
                                             std::string(kVDTCORApplicationWillTerminateNotification)}));
}

TEST_F(VDTCORRegistrarTest, NoBackgroundTaskIsBegunWithoutAnApplicationOrInsideAnExtension) {
  auto wrapper = VDTCORApplication::sharedApplication();
  auto id = wrapper->beginBackgroundTaskWithName("t", {});
  EXPECT_NE(id, VDTCORBackgroundIdentifierInvalid);
  wrapper->endBackgroundTask(id);
  EXPECT_EQ(app_->openBackgroundTaskCount(), 0u);

  const auto extension = platform::Home::temporary() / "Share.appex";
  std::filesystem::create_directories(extension);
  platform::Bundle::setMainPath(extension);
  platform::testing::LogCapture log;
  EXPECT_EQ(wrapper->beginBackgroundTaskWithName("t", {}), VDTCORBackgroundIdentifierInvalid);
  wrapper->endBackgroundTask(VDTCORBackgroundIdentifierInvalid);
  EXPECT_EQ(app_->openBackgroundTaskCount(), 0u);
  EXPECT_TRUE(log.logs().empty());
}

TEST_F(VDTCORRegistrarTest, AnExpiredBackgroundTaskIsEndedOnceByItsHandler) {
  auto task = VDTCORBackgroundTask::begin(VDTCORApplication::sharedApplication(), "long");
  ASSERT_NE(task->identifier(), VDTCORBackgroundIdentifierInvalid);
  platform::testing::LogCapture log;
  app_->enterBackground();
  platform::testing::advance(platform::Application::kBackgroundTimeAllowance + 1);
  EXPECT_EQ(app_->openBackgroundTaskCount(), 0u);
  task->end();
  // Neither the platform nor a second end had anything to complain about.
  EXPECT_TRUE(log.logs().empty()) << log.logs()[0];
}

}  // namespace
}  // namespace transport_tests
