#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/home.h"
#include "platform/foundation/trace.h"
#include "platform/media/audio_player.h"
#include "platform/media/audio_session.h"
#include "platform/media/capture_device.h"
#include "platform/media/data_asset.h"
#include "platform/media/media_driver.h"
#include "platform/media/system_sound.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

using platform::testing::advance;
using platform::testing::runUntilIdle;

class MediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MediaDriver::reset();
    Trace::clear();
  }
  void TearDown() override {
    DataAsset::setSearchDirectory({});
    MediaDriver::reset();
  }

  static std::vector<std::string> trace(std::string_view kind) {
    std::vector<std::string> details;
    for (const auto& e : Trace::eventsOfKind(kind)) details.push_back(e.detail);
    return details;
  }
};

struct RecordingDelegate : AudioPlayerDelegate {
  void audioPlayerDidFinishPlaying(AudioPlayer& player, bool flag) override {
    finished.push_back({player.name(), flag});
    onMain = onMain && DispatchQueue::isMainThread();
  }
  void audioPlayerDecodeErrorDidOccur(AudioPlayer& player, const Error* error) override {
    decodeErrors.push_back({player.name(), error ? error->code() : 0});
    onMain = onMain && DispatchQueue::isMainThread();
  }
  std::vector<std::pair<std::string, bool>> finished;
  std::vector<std::pair<std::string, std::int64_t>> decodeErrors;
  bool onMain = true;
};

TEST_F(MediaTest, AudioSessionCategoryIsKeptOnlyWhenTheSystemAccepts) {
  Error error;
  ASSERT_TRUE(AudioSession::sharedInstance().setCategory(kAudioSessionCategoryPlayback, kAudioSessionModeDefault,
                                                         kAudioSessionCategoryOptionNone, &error));
  EXPECT_FALSE(error);
  EXPECT_EQ(AudioSession::sharedInstance().category(), kAudioSessionCategoryPlayback);

  MediaDriver::setAudioSessionFailure(Error("NSOSStatusErrorDomain", 561017449));
  EXPECT_FALSE(AudioSession::sharedInstance().setCategory(kAudioSessionCategoryAmbient, &error));
  EXPECT_EQ(error.code(), 561017449);
  EXPECT_FALSE(error.localizedDescription().empty());
  // A refusal leaves the category in force; a null out-parameter is allowed.
  EXPECT_EQ(AudioSession::sharedInstance().category(), kAudioSessionCategoryPlayback);
  EXPECT_FALSE(AudioSession::sharedInstance().setCategory(kAudioSessionCategoryAmbient, nullptr));

  MediaDriver::setAudioSessionFailure(std::nullopt);
  EXPECT_TRUE(AudioSession::sharedInstance().setCategory(kAudioSessionCategoryAmbient, nullptr));
  EXPECT_EQ(AudioSession::sharedInstance().category(), kAudioSessionCategoryAmbient);
}

Data bytes(std::string_view s) { return Data(s.begin(), s.end()); }

// Byte surgery on a valid placeholder, to make the broken files a decoder meets.
Data withByte(Data d, std::size_t at, std::uint8_t value) {
  d[at] = value;
  return d;
}

TEST_F(MediaTest, PlayerRefusesDataItCannotDecode) {
  const Data good = placeholderSound("bird", 1.0);
  const std::size_t fmtFormat = 20, fmtChannels = 22;
  Data noData(good.begin(), good.begin() + 36);  // header and format, no sample chunk
  Data lyingChunk = good;
  lyingChunk[40] = 0xFF, lyingChunk[41] = 0xFF, lyingChunk[42] = 0xFF, lyingChunk[43] = 0x7F;  // LIST claims 2 GB
  struct Case {
    const char* what;
    Data data;
    std::int64_t code;
  } cases[] = {
      {"empty", {}, kAudioFileUnsupportedFileTypeError},
      {"text", bytes("this is not a sound at all"), kAudioFileUnsupportedFileTypeError},
      {"riff but not wave", withByte(good, 8, 'X'), kAudioFileUnsupportedFileTypeError},
      {"compressed format", withByte(good, fmtFormat, 0x55), kAudioFileUnsupportedDataFormatError},
      {"no channels", withByte(good, fmtChannels, 0), kAudioFileInvalidFileError},
      {"no sample chunk", noData, kAudioFileInvalidFileError},
      {"chunk runs past the end", lyingChunk, kAudioFileInvalidFileError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Error error;
    EXPECT_EQ(AudioPlayer::make(c.data, &error), nullptr);
    EXPECT_EQ(error.domain(), kOSStatusErrorDomain);
    EXPECT_EQ(error.code(), c.code);
    EXPECT_NE(error.localizedDescription().find(std::to_string(c.code)), std::string::npos);
  }
  EXPECT_EQ(AudioPlayer::make({}, nullptr), nullptr);
}

TEST_F(MediaTest, PlaceholderSoundDecodesWithItsNameAndLength) {
  Error error;
  auto player = AudioPlayer::make(placeholderSound("bgm_rain", 2.5), &error);
  ASSERT_NE(player, nullptr) << error.description();
  EXPECT_EQ(player->name(), "bgm_rain");
  EXPECT_DOUBLE_EQ(player->duration(), 2.5);
  EXPECT_FALSE(player->isPlaying());
}

TEST_F(MediaTest, NonLoopingPlayerEndsAfterItsPassesAndTellsItsDelegate) {
  struct Case {
    long loops;
    double endsAfter;
  } cases[] = {{0, 2.0}, {2, 6.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.loops);
    Trace::clear();
    auto delegate = std::make_shared<RecordingDelegate>();
    auto player = AudioPlayer::make(placeholderSound("bird", 2.0), nullptr);
    player->setNumberOfLoops(c.loops);
    player->setDelegate(delegate);
    ASSERT_TRUE(player->play());
    advance(c.endsAfter - 0.5);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_NEAR(player->currentTime(), 1.5, 1e-9);
    advance(0.5);
    runUntilIdle();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(trace("sound"), std::vector<std::string>{"bird"});
    EXPECT_EQ(trace("sound-end"), std::vector<std::string>{"bird"});
    ASSERT_EQ(delegate->finished.size(), 1u);
    EXPECT_TRUE(delegate->finished[0].second);
    EXPECT_TRUE(delegate->onMain);
    EXPECT_DOUBLE_EQ(player->currentTime(), 0.0);
  }
}

TEST_F(MediaTest, EndlessLoopKeepsPlaying) {
  auto player = AudioPlayer::make(placeholderSound("bgm_night", 3.0), nullptr);
  player->setNumberOfLoops(-1);
  player->setVolume(0.5f, 0.5);
  player->play();
  advance(3600);
  EXPECT_TRUE(player->isPlaying());
  EXPECT_NEAR(player->currentTime(), 0.0, 1e-6);
  const auto playing = MediaDriver::nowPlaying();
  ASSERT_EQ(playing.size(), 1u);
  EXPECT_EQ(playing[0].name, "bgm_night");
  EXPECT_TRUE(playing[0].looping);
  EXPECT_FLOAT_EQ(playing[0].volume, 0.5f);
  EXPECT_TRUE(Trace::eventsOfKind("sound-end").empty());
}

TEST_F(MediaTest, PauseKeepsThePositionAndPlayResumesFromIt) {
  auto player = AudioPlayer::make(placeholderSound("bird", 4.0), nullptr);
  player->play();
  advance(1.0);
  player->pause();
  advance(10.0);  // the end scheduled at the first start must not fire
  EXPECT_FALSE(player->isPlaying());
  EXPECT_NEAR(player->currentTime(), 1.0, 1e-9);
  player->play();
  advance(2.9);
  EXPECT_TRUE(player->isPlaying());
  advance(0.1);
  EXPECT_FALSE(player->isPlaying());
  EXPECT_EQ(trace("sound"), (std::vector<std::string>{"bird", "bird"}));
  EXPECT_EQ(trace("sound-stop"), std::vector<std::string>{"bird"});
  EXPECT_EQ(trace("sound-end"), std::vector<std::string>{"bird"});
}

TEST_F(MediaTest, ReplacedPlayerStops) {
  std::shared_ptr<AudioPlayer> field = AudioPlayer::make(placeholderSound("bgm_rain", 5.0), nullptr);
  field->setNumberOfLoops(-1);
  field->play();
  field = AudioPlayer::make(placeholderSound("bgm_fire", 5.0), nullptr);
  EXPECT_EQ(trace("sound-stop"), std::vector<std::string>{"bgm_rain"});
  EXPECT_TRUE(MediaDriver::nowPlaying().empty());
  field->play();
  advance(60);  // the old player's scheduled work must not touch the freed object
  const auto playing = MediaDriver::nowPlaying();
  ASSERT_TRUE(playing.empty());
  EXPECT_EQ(trace("sound-end"), std::vector<std::string>{"bgm_fire"});
}

TEST_F(MediaTest, TruncatedSoundReportsADecodeErrorWhereItsDataEnds) {
  Data data = placeholderSound("bgm_wind", 2.0);
  data.resize(data.size() - 8000);  // the second second is gone
  auto delegate = std::make_shared<RecordingDelegate>();
  Error error;
  auto player = AudioPlayer::make(data, &error);
  ASSERT_NE(player, nullptr) << error.description();
  player->setDelegate(delegate);
  player->setNumberOfLoops(-1);
  player->play();
  advance(0.9);
  EXPECT_TRUE(player->isPlaying());
  advance(0.1);
  runUntilIdle();
  EXPECT_FALSE(player->isPlaying());
  ASSERT_EQ(delegate->decodeErrors.size(), 1u);
  EXPECT_EQ(delegate->decodeErrors[0].second, kAudioFileInvalidFileError);
  EXPECT_TRUE(delegate->finished.empty());
  EXPECT_EQ(trace("sound-error"), std::vector<std::string>{"bgm_wind"});
}

TEST_F(MediaTest, PlayersMadeAndDroppedOnManyThreadsStayConsistent) {
  const Data sound = placeholderSound("bird", 1.0);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) (void)MediaDriver::nowPlaying();
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto player = AudioPlayer::make(sound, nullptr);
        player->play();
        player->setVolume(0.2f);
      }
    });
  }
  for (auto& w : writers) w.join();
  stop = true;
  reader.join();
  EXPECT_TRUE(MediaDriver::nowPlaying().empty());
  EXPECT_EQ(trace("sound").size(), 800u);
  EXPECT_EQ(trace("sound-stop").size(), 800u);
}

TEST_F(MediaTest, DataAssetsAreFoundByNameWhateverTheirExtension) {
  const auto dir = Home::temporary() / "Assets";
  std::filesystem::create_directories(dir);
  const Data bird = placeholderSound("bird", 0.5);
  const Data untagged = placeholderSound("", 0.25);
  auto write = [&](const char* file, const Data& d) {
    std::ofstream(dir / file, std::ios::binary).write(reinterpret_cast<const char*>(d.data()), d.size());
  };
  write("bird.wav", bird);
  write("bgm_coffee.mp3", untagged);
  std::filesystem::create_directories(dir / "folder.wav");
  DataAsset::setSearchDirectory(dir);

  auto asset = DataAsset::make("bird");
  ASSERT_NE(asset, nullptr);
  EXPECT_EQ(asset->data(), bird);
  EXPECT_EQ(asset->typeIdentifier(), "wav");
  for (const char* missing : {"bgm_rain", "", "..", "../bird", "folder"}) {
    SCOPED_TRACE(missing);
    EXPECT_EQ(DataAsset::make(missing), nullptr);
  }
  // A sound without a name tag is known by the asset it came from.
  auto coffee = DataAsset::make("bgm_coffee");
  ASSERT_NE(coffee, nullptr);
  EXPECT_EQ(coffee->typeIdentifier(), "mp3");
  auto player = AudioPlayer::make(coffee->data(), nullptr);
  ASSERT_NE(player, nullptr);
  EXPECT_EQ(player->name(), "bgm_coffee");
}

TEST_F(MediaTest, SystemSoundsGoToTheTrace) {
  AudioServices::playAlertSound(kSystemSoundID_Vibrate);
  AudioServices::playSystemSound(kSystemSoundID_Vibrate);
  AudioServices::playSystemSound(1007);
  EXPECT_EQ(Trace::eventsOfKind("vibrate").size(), 2u);
  EXPECT_EQ(trace("sound"), std::vector<std::string>{"system 1007"});
}

TEST_F(MediaTest, TorchFlashesAtALevelAndGoesOff) {
  auto device = CaptureDevice::defaultDeviceWithMediaType(MediaType::Video);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(CaptureDevice::defaultDeviceWithMediaType(MediaType::Video), device);
  EXPECT_TRUE(device->hasTorch());

  Error error;
  ASSERT_TRUE(device->lockForConfiguration(&error));
  ASSERT_TRUE(device->setTorchModeOnWithLevel(0.5f, &error));
  device->setTorchMode(TorchMode::On);
  device->unlockForConfiguration();
  EXPECT_TRUE(MediaDriver::torchIsOn());
  EXPECT_FLOAT_EQ(MediaDriver::torchLevel(), 0.5f);

  ASSERT_TRUE(device->lockForConfiguration(&error));
  device->setTorchMode(TorchMode::Off);
  device->unlockForConfiguration();
  EXPECT_FALSE(MediaDriver::torchIsOn());
  EXPECT_FALSE(device->isLockedForConfiguration());
  EXPECT_EQ(trace("torch"), (std::vector<std::string>{"on 0.5", "off"}));
}

TEST_F(MediaTest, TorchFailuresLeaveNoLockBehind) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* what;
    bool lockFails;
    bool torchOnFails;
    float level;
    bool locks;
    bool lights;
  } cases[] = {
      {"lock refused", true, false, 0.5f, false, false},
      {"switch-on refused", false, true, 0.5f, true, false},
      {"level zero", false, false, 0.0f, true, false},
      {"level above full", false, false, 1.5f, true, false},
      {"level not a number", false, false, nan, true, false},
      {"full level", false, false, kMaxAvailableTorchLevel, true, true},
  };
  auto device = CaptureDevice::defaultDeviceWithMediaType(MediaType::Video);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MediaDriver::reset();
    Trace::clear();
    MediaDriver::setLockForConfigurationFails(c.lockFails);
    MediaDriver::setTorchOnFails(c.torchOnFails);

    Error error;
    const bool locked = device->lockForConfiguration(&error);
    EXPECT_EQ(locked, c.locks);
    EXPECT_EQ(error.isSet(), !c.locks);
    if (!locked) {
      // A refused lock holds nothing, so there is nothing to give back.
      EXPECT_FALSE(device->isLockedForConfiguration());
      EXPECT_THROW(device->unlockForConfiguration(), Exception);
      continue;
    }
    const bool lit = device->setTorchModeOnWithLevel(c.level, &error);
    EXPECT_EQ(lit, c.lights);
    EXPECT_EQ(error.isSet(), !c.lights);
    EXPECT_EQ(device->lockCount(), 1);
    device->unlockForConfiguration();
    EXPECT_FALSE(device->isLockedForConfiguration());
    EXPECT_EQ(MediaDriver::torchIsOn(), c.lights);
    EXPECT_EQ(Trace::eventsOfKind("torch").size(), c.lights ? 1u : 0u);
  }
}

TEST_F(MediaTest, TorchMisuseRaises) {
  auto device = CaptureDevice::defaultDeviceWithMediaType(MediaType::Video);
  EXPECT_THROW(device->setTorchMode(TorchMode::On), Exception);
  EXPECT_THROW(device->setTorchModeOnWithLevel(0.5f, nullptr), Exception);
  EXPECT_THROW(device->unlockForConfiguration(), Exception);

  MediaDriver::setHasTorch(false);
  ASSERT_TRUE(device->lockForConfiguration(nullptr));
  EXPECT_FALSE(device->hasTorch());
  EXPECT_THROW(device->setTorchMode(TorchMode::Off), Exception);
  device->unlockForConfiguration();

  MediaDriver::setHasCaptureDevice(false);
  EXPECT_EQ(CaptureDevice::defaultDeviceWithMediaType(MediaType::Video), nullptr);
  EXPECT_TRUE(Trace::eventsOfKind("torch").empty());
}

TEST_F(MediaTest, LockNestsAndTurningAnUnlitTorchOffIsSilent) {
  auto device = CaptureDevice::defaultDeviceWithMediaType(MediaType::Video);
  ASSERT_TRUE(device->lockForConfiguration(nullptr));
  ASSERT_TRUE(device->lockForConfiguration(nullptr));
  device->setTorchMode(TorchMode::Off);
  device->unlockForConfiguration();
  EXPECT_TRUE(device->isLockedForConfiguration());
  device->unlockForConfiguration();
  EXPECT_FALSE(device->isLockedForConfiguration());
  EXPECT_TRUE(Trace::eventsOfKind("torch").empty());
}

}  // namespace
}  // namespace platform
