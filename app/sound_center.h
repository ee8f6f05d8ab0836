// The app's one audio and signal service: the audio session, the looping white noise of the
// chosen mode, the one-second preview of a newly picked mode, and the alert at the end of a
// period or a break (bird sound, vibration and torch, each by its own switch).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/foundation/thread_safety.h"
#include "platform/media/audio_player.h"

class SoundCenter : public platform::AudioPlayerDelegate, public std::enable_shared_from_this<SoundCenter> {
 public:
  // Made on first use; lives until the process ends.
  static std::shared_ptr<SoundCenter> shared();
  // Drops the shared instance so the next use builds a fresh one (each test starts anew).
  static void resetSharedForTesting();

  // The data asset of a white-noise mode; empty for mode 0 (no noise).
  static std::string_view assetNameForMode(std::int64_t mode);
  // One vibration, through the platform's vibrate alert sound.
  static void vibrate();

  // Observer of "WhiteNoiseModeChangeNotification": loads the player of the current mode.
  void initializePlayer();
  // Plays the current mode's noise (when there is one), then vibrates once.
  void startWhiteNoise();
  // A one-second preview of the current mode; mode 0 stops the noise.
  void playSample();
  // One alert by the sound, vibration and torch switches.
  void playAlert();
  void playBirdSound();
  void flashTorch();

  void audioPlayerDecodeErrorDidOccur(platform::AudioPlayer& player, const platform::Error* error) override;

  std::shared_ptr<platform::AudioPlayer> whiteNoisePlayer() const;
  std::shared_ptr<platform::AudioPlayer> sampleBirdPlayer() const;

  SoundCenter();
  ~SoundCenter() override;
  SoundCenter(const SoundCenter&) = delete;
  SoundCenter& operator=(const SoundCenter&) = delete;

 private:
  void setUp();

  mutable platform::Mutex mutex_;
  std::shared_ptr<platform::AudioPlayer> whiteNoisePlayer_ GUARDED_BY(mutex_);
  std::shared_ptr<platform::AudioPlayer> sampleBirdPlayer_ GUARDED_BY(mutex_);
  // Counts the starts of the noise for a period, so that a preview's delayed stop never cuts
  // the noise of a period begun meanwhile.
  std::uint64_t noiseStarts_ GUARDED_BY(mutex_) = 0;
};
