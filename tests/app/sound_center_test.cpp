#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "app/app_notifications.h"
#include "focus_app_fixture.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/error.h"
#include "platform/media/capture_device.h"
#include "platform/media/data_asset.h"

namespace {

// The sound centre alone, on the app's settings (registered as the app registers them).
class SoundCenterTest : public FocusAppTest {
 protected:
  void SetUp() override {
    FocusAppTest::SetUp();
    defaults()->registerDefaults({{std::string(kWhiteNoiseModeKey), platform::Value(1)},
                                  {std::string(kEnableSoundKey), platform::Value(true)},
                                  {std::string(kEnableVibrationKey), platform::Value(true)},
                                  {std::string(kEnableFlashKey), platform::Value(false)}});
  }
  void TearDown() override {
    platform::DataAsset::setSearchDirectory({});
    FocusAppTest::TearDown();
  }
  static void pickMode(std::int64_t mode) {
    defaults()->setInteger(mode, kWhiteNoiseModeKey);
    postAppNotification(kWhiteNoiseModeChangeNotification);
  }
  static std::vector<std::string> playing() {
    std::vector<std::string> names;
    for (const auto& p : platform::MediaDriver::nowPlaying()) names.push_back(p.name);
    return names;
  }
};

TEST_F(SoundCenterTest, EachModeLoadsItsOwnLoopAndStrayModesLoadRain) {
  const std::pair<std::int64_t, std::string_view> cases[] = {
      {1, "bgm_rain"},   {2, "bgm_night"},  {3, "bgm_fire"},     {4, "bgm_wind"}, {5, "bgm_river"},
      {6, "bgm_coffee"}, {7, "bgm_stardust"}, {8, "bgm_train"}, {9, "bgm_rain"}, {-1, "bgm_rain"},
  };
  auto center = SoundCenter::shared();
  for (const auto& [mode, asset] : cases) {
    pickMode(mode);
    auto player = center->whiteNoisePlayer();
    ASSERT_TRUE(player) << mode;
    EXPECT_EQ(player->name(), asset) << mode;
    EXPECT_EQ(player->numberOfLoops(), -1);
    EXPECT_FALSE(player->isPlaying()) << "loading does not play";
  }
}

TEST_F(SoundCenterTest, ModeZeroKeepsTheLoadedPlayerAndAPeriodStartOnlyVibrates) {
  auto center = SoundCenter::shared();
  pickMode(3);
  auto fire = center->whiteNoisePlayer();
  pickMode(0);
  EXPECT_EQ(center->whiteNoisePlayer(), fire);
  center->startWhiteNoise();
  EXPECT_TRUE(playing().empty());
  EXPECT_EQ(traceCount("vibrate"), 1u);

  pickMode(3);
  center->startWhiteNoise();
  EXPECT_EQ(playing(), (std::vector<std::string>{"bgm_fire"}));
  EXPECT_EQ(traceCount("vibrate"), 2u);
}

TEST_F(SoundCenterTest, AMissingOrBrokenAssetIsPrintedAndTheOldPlayerStays) {
  namespace fs = std::filesystem;
  auto center = SoundCenter::shared();
  auto rain = center->whiteNoisePlayer();
  ASSERT_TRUE(rain);

  fs::path folder = fs::temp_directory_path() / ("focus-assets-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  std::ofstream(folder / "bgm_night.wav") << "not a sound at all";
  platform::DataAsset::setSearchDirectory(folder);

  platform::testing::LogCapture log;
  pickMode(5);
  EXPECT_TRUE(log.contains("음원 파일 에셋을 가져올 수 없습니다"));
  pickMode(2);
  auto prints = log.prints();
  ASSERT_GE(prints.size(), 3u);
  EXPECT_EQ(prints[1], "플레이어 초기화 실패");
  EXPECT_TRUE(prints[2].starts_with("코드 : ")) << prints[2];
  EXPECT_NE(prints[2].find(", 메세지 : "), std::string::npos) << prints[2];
  EXPECT_EQ(center->whiteNoisePlayer(), rain);
  fs::remove_all(folder);
}

TEST_F(SoundCenterTest, ARefusedAudioSessionIsPrintedAndTheCentreStillWorks) {
  platform::MediaDriver::setAudioSessionFailure(platform::Error("NSOSStatusErrorDomain", 561017449));
  platform::testing::LogCapture log;
  auto center = SoundCenter::shared();
  platform::MediaDriver::setAudioSessionFailure(std::nullopt);
  EXPECT_TRUE(log.contains("error_AVAudioSessionCategoryPlayback"));
  EXPECT_TRUE(center->whiteNoisePlayer());
}

TEST_F(SoundCenterTest, APreviewPlaysForOneSecondAndANewerPickKeepsItsOwn) {
  auto center = SoundCenter::shared();
  pickMode(2);
  center->playSample();
  advance(0.5);
  pickMode(4);
  center->playSample();
  EXPECT_EQ(playing(), (std::vector<std::string>{"bgm_wind"}));
  advance(0.6);
  EXPECT_EQ(playing(), (std::vector<std::string>{"bgm_wind"})) << "the first pick's timer leaves the second alone";
  advance(0.4);
  EXPECT_TRUE(playing().empty());

  center->playSample();
  pickMode(0);
  center->playSample();
  EXPECT_TRUE(playing().empty()) << "mode 0 stops the preview at once";
}

TEST_F(SoundCenterTest, APeriodStartedWithinThePreviewSecondKeepsItsNoise) {
  auto center = SoundCenter::shared();
  center->playSample();
  advance(0.5);
  center->startWhiteNoise();
  advance(2);
  EXPECT_EQ(playing(), (std::vector<std::string>{"bgm_rain"}));
}

TEST_F(SoundCenterTest, AlertsFollowTheirThreeSwitches) {
  struct Case {
    bool sound, vibration, flash;
  };
  const Case cases[] = {{true, true, true}, {true, false, false}, {false, true, false},
                        {false, false, true}, {false, false, false}};
  auto center = SoundCenter::shared();
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.sound << c.vibration << c.flash);
    platform::Trace::clear();
    defaults()->setBool(c.sound, kEnableSoundKey);
    defaults()->setBool(c.vibration, kEnableVibrationKey);
    defaults()->setBool(c.flash, kEnableFlashKey);
    center->playAlert();
    settle();
    EXPECT_EQ(traceCount("sound", "bird"), c.sound ? 1u : 0u);
    EXPECT_EQ(traceCount("vibrate"), c.vibration ? 1u : 0u);
    EXPECT_EQ(traceCount("torch", "on 0.5"), c.flash ? 1u : 0u);
    EXPECT_EQ(platform::MediaDriver::torchIsOn(), c.flash);
    advance(0.5);
    EXPECT_FALSE(platform::MediaDriver::torchIsOn());
  }
}

TEST_F(SoundCenterTest, EachAlertPlaysTheBirdAnewQuietly) {
  auto center = SoundCenter::shared();
  center->playBirdSound();
  settle();
  std::weak_ptr<platform::AudioPlayer> first = center->sampleBirdPlayer();
  ASSERT_FALSE(first.expired());
  EXPECT_FLOAT_EQ(first.lock()->volume(), 0.2f);
  EXPECT_TRUE(first.lock()->isPlaying());
  center->playBirdSound();
  settle();
  EXPECT_TRUE(first.expired()) << "the replaced bird is let go, which stops it";
  EXPECT_EQ(traceCount("sound-stop", "bird"), 1u);
  EXPECT_EQ(traceCount("sound", "bird"), 2u);
}

TEST_F(SoundCenterTest, TorchFailuresArePrintedAndNeverLeaveTheDeviceLocked) {
  struct Case {
    const char* name;
    bool hasTorch, lockFails, onFails;
    std::vector<std::string> prints;
  };
  const Case cases[] = {
      {"no torch", false, false, false, {"Torch is not available", "Torch is not available"}},
      {"lock refused", true, true, false, {"Torch could not be used", "Torch could not be used"}},
      {"switch-on refused", true, false, true, {"Torch could not be used"}},
      {"works", true, false, false, {}},
  };
  auto center = SoundCenter::shared();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::MediaDriver::reset();
    platform::MediaDriver::setHasTorch(c.hasTorch);
    platform::MediaDriver::setLockForConfigurationFails(c.lockFails);
    platform::MediaDriver::setTorchOnFails(c.onFails);
    platform::testing::LogCapture log;
    center->flashTorch();
    advance(0.5);
    EXPECT_EQ(log.prints(), c.prints);
    auto device = platform::CaptureDevice::defaultDeviceWithMediaType(platform::MediaType::Video);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->lockCount(), 0);
    EXPECT_FALSE(platform::MediaDriver::torchIsOn());
  }
  platform::MediaDriver::reset();
  platform::MediaDriver::setHasCaptureDevice(false);
  center->flashTorch();
  advance(0.5);
  EXPECT_EQ(traceCount("torch"), 2u) << "only the working case's on and off";
}

}  // namespace
