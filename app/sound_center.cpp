#include "app/sound_center.h"

#include <string>

#include "app/app_notifications.h"
#include "app/setting_keys.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/console.h"
#include "platform/foundation/error.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/user_defaults.h"
#include "platform/media/audio_session.h"
#include "platform/media/capture_device.h"
#include "platform/media/data_asset.h"
#include "platform/media/system_sound.h"

namespace {

constexpr std::string_view kAssetMissing = "음원 파일 에셋을 가져올 수 없습니다";
constexpr std::string_view kTorchUnusable = "Torch could not be used";
constexpr std::string_view kTorchMissing = "Torch is not available";

platform::Mutex& sharedMutex() {
  static platform::Mutex mutex;
  return mutex;
}

std::shared_ptr<SoundCenter>& sharedInstance() REQUIRES(sharedMutex()) {
  static std::shared_ptr<SoundCenter> instance;
  return instance;
}

std::int64_t currentMode() { return platform::UserDefaults::standard()->integerForKey(kWhiteNoiseModeKey); }

bool switchOn(std::string_view key) { return platform::UserDefaults::standard()->boolForKey(key); }

// A player for the asset, or null after printing why there is none.
std::shared_ptr<platform::AudioPlayer> loadPlayer(std::string_view assetName) {
  auto asset = platform::DataAsset::make(std::string(assetName));
  if (!asset) {
    platform::Console::print(kAssetMissing);
    return nullptr;
  }
  platform::Error error;
  auto player = platform::AudioPlayer::make(asset->data(), &error);
  if (!player) {
    platform::Console::print("플레이어 초기화 실패");
    platform::Console::print(
        platform::format("코드 : %ld, 메세지 : %@", static_cast<long>(error.code()), error.localizedDescription()));
  }
  return player;
}

void switchTorchOff(const std::shared_ptr<platform::CaptureDevice>& device) {
  if (!device->hasTorch()) {
    platform::Console::print(kTorchMissing);
    return;
  }
  if (!device->lockForConfiguration(nullptr)) {
    platform::Console::print(kTorchUnusable);
    return;
  }
  device->setTorchMode(platform::TorchMode::Off);
  device->unlockForConfiguration();
}

}  // namespace

std::shared_ptr<SoundCenter> SoundCenter::shared() {
  std::shared_ptr<SoundCenter> made;
  {
    platform::MutexLock lock(sharedMutex());
    auto& instance = sharedInstance();
    if (instance) return instance;
    instance = std::make_shared<SoundCenter>();
    made = instance;
  }
  // Outside the lock: loading the first player may print, and observers may call shared() again.
  made->setUp();
  return made;
}

void SoundCenter::resetSharedForTesting() {
  std::shared_ptr<SoundCenter> old;
  {
    platform::MutexLock lock(sharedMutex());
    old = std::move(sharedInstance());
  }
}

std::string_view SoundCenter::assetNameForMode(std::int64_t mode) {
  switch (mode) {
    case 0: return {};
    case 2: return "bgm_night";
    case 3: return "bgm_fire";
    case 4: return "bgm_wind";
    case 5: return "bgm_river";
    case 6: return "bgm_coffee";
    case 7: return "bgm_stardust";
    case 8: return "bgm_train";
    default: return "bgm_rain";
  }
}

void SoundCenter::vibrate() { platform::AudioServices::playAlertSound(platform::kSystemSoundID_Vibrate); }

SoundCenter::SoundCenter() = default;

SoundCenter::~SoundCenter() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void SoundCenter::setUp() {
  platform::Error error;
  if (!platform::AudioSession::sharedInstance().setCategory(platform::kAudioSessionCategoryPlayback,
                                                            platform::kAudioSessionModeDefault,
                                                            platform::kAudioSessionCategoryOptionNone, &error)) {
    platform::Console::print("error_AVAudioSessionCategoryPlayback");
  }
  std::weak_ptr<SoundCenter> weak = weak_from_this();
  platform::NotificationCenter::defaultCenter().addObserver(
      std::weak_ptr<const void>(weak), std::string(kWhiteNoiseModeChangeNotification), nullptr,
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->initializePlayer();
      });
  initializePlayer();
}

void SoundCenter::initializePlayer() {
  std::int64_t mode = currentMode();
  if (mode == 0) return;
  auto player = loadPlayer(assetNameForMode(mode));
  if (!player) return;
  player->setNumberOfLoops(-1);
  platform::MutexLock lock(mutex_);
  whiteNoisePlayer_ = std::move(player);
}

void SoundCenter::startWhiteNoise() {
  std::shared_ptr<platform::AudioPlayer> player;
  {
    platform::MutexLock lock(mutex_);
    ++noiseStarts_;
    player = whiteNoisePlayer_;
  }
  if (currentMode() != 0 && player) {
    player->setDelegate(weak_from_this());
    player->play();
    player->setVolume(1.0f, 0);
  }
  vibrate();
}

void SoundCenter::playSample() {
  std::int64_t mode = currentMode();
  std::shared_ptr<platform::AudioPlayer> player;
  std::uint64_t starts;
  {
    platform::MutexLock lock(mutex_);
    player = whiteNoisePlayer_;
    starts = noiseStarts_;
  }
  if (mode == 0) {
    if (player) player->stop();
    return;
  }
  if (!player) return;
  player->play();
  player->setVolume(1.0f, 0.5);
  std::weak_ptr<SoundCenter> weak = weak_from_this();
  platform::DispatchQueue::main()->after(1.0, [weak, mode, starts] {
    auto self = weak.lock();
    if (!self || currentMode() != mode) return;
    std::shared_ptr<platform::AudioPlayer> current;
    {
      platform::MutexLock lock(self->mutex_);
      if (self->noiseStarts_ != starts) return;
      current = self->whiteNoisePlayer_;
    }
    if (current) current->stop();
  });
}

void SoundCenter::playAlert() {
  if (switchOn(kEnableSoundKey)) playBirdSound();
  if (switchOn(kEnableVibrationKey)) vibrate();
  if (switchOn(kEnableFlashKey)) flashTorch();
}

void SoundCenter::playBirdSound() {
  std::weak_ptr<SoundCenter> weak = weak_from_this();
  platform::DispatchQueue::global(platform::QualityOfService::Default)->async([weak] {
    auto player = loadPlayer("bird");
    if (!player) return;
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<platform::AudioPlayer> replaced;
    {
      platform::MutexLock lock(self->mutex_);
      replaced = std::exchange(self->sampleBirdPlayer_, player);
    }
    // The previous bird stops as it is let go, outside the lock.
    replaced.reset();
    player->setVolume(0.2f, 0);
    player->play();
  });
}

void SoundCenter::flashTorch() {
  auto device = platform::CaptureDevice::defaultDeviceWithMediaType(platform::MediaType::Video);
  if (!device) return;
  if (device->hasTorch()) {
    if (!device->lockForConfiguration(nullptr)) {
      platform::Console::print(kTorchUnusable);
    } else if (device->setTorchModeOnWithLevel(0.5f, nullptr)) {
      device->setTorchMode(platform::TorchMode::On);
      device->unlockForConfiguration();
    } else {
      device->unlockForConfiguration();
      platform::Console::print(kTorchUnusable);
    }
  } else {
    platform::Console::print(kTorchMissing);
  }
  platform::DispatchQueue::main()->after(0.5, [device] { switchTorchOff(device); });
}

void SoundCenter::audioPlayerDecodeErrorDidOccur(platform::AudioPlayer& /*player*/, const platform::Error* error) {
  if (error) platform::Console::print(error->localizedDescription());
}

std::shared_ptr<platform::AudioPlayer> SoundCenter::whiteNoisePlayer() const {
  platform::MutexLock lock(mutex_);
  return whiteNoisePlayer_;
}

std::shared_ptr<platform::AudioPlayer> SoundCenter::sampleBirdPlayer() const {
  platform::MutexLock lock(mutex_);
  return sampleBirdPlayer_;
}
