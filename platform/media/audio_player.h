// Players of in-memory sound data. Playback runs on the platform clock; nothing is audible: what
// plays shows in MediaDriver::nowPlaying() and in the trace, each with the sound's name: "sound"
// when playback starts, "sound-stop" when it is paused, stopped or its player destroyed,
// "sound-end" when it runs out, "sound-error" when it meets undecodable data.
//
// Accepted data: RIFF/WAVE (PCM or float samples) with a "fmt " and a "data" chunk. The sound's
// name is the INAM tag of its LIST/INFO chunk (placeholderSound writes one); without a tag, the
// name of the data asset these bytes were last loaded from; else "untitled". Data whose
// "data" chunk claims more bytes than it holds loads, then reports a decode error when playback
// reaches the missing part.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"

namespace platform {

class Error;
class AudioPlayer;

// OSStatus codes reported in kOSStatusErrorDomain.
inline constexpr std::string_view kOSStatusErrorDomain = "NSOSStatusErrorDomain";
inline constexpr std::int64_t kAudioFileUnsupportedFileTypeError = 1954115647;  // 'typ?'
inline constexpr std::int64_t kAudioFileInvalidFileError = 1685348671;          // 'dta?'
inline constexpr std::int64_t kAudioFileUnsupportedDataFormatError = 1718449215;  // 'fmt?'

class AudioPlayerDelegate {
 public:
  virtual ~AudioPlayerDelegate() = default;
  // Main queue, when playback ran to its end; `flag` is true.
  virtual void audioPlayerDidFinishPlaying(AudioPlayer& /*player*/, bool /*flag*/) {}
  // Main queue; the player has stopped.
  virtual void audioPlayerDecodeErrorDidOccur(AudioPlayer& /*player*/, const Error* /*error*/) {}
};

class AudioPlayer : public std::enable_shared_from_this<AudioPlayer> {
 public:
  // Null with `error` filled (domain kOSStatusErrorDomain, a numeric code) when the data is empty
  // or not a sound this platform decodes.
  static std::shared_ptr<AudioPlayer> make(const Data& data, Error* error);
  // A player that is destroyed while playing stops first.
  ~AudioPlayer();

  bool prepareToPlay();
  // Starts or resumes at currentTime(). Returns false only for a player whose data broke.
  bool play();
  void pause();
  // Stops and keeps the position, like pause, and releases what prepareToPlay took.
  void stop();
  bool isPlaying() const;

  // -1: repeat without end; n >= 0: play n + 1 times.
  long numberOfLoops() const;
  void setNumberOfLoops(long loops);
  float volume() const;
  void setVolume(float volume);
  // The fade is not rendered; the volume becomes the target at once.
  void setVolume(float volume, double fadeDuration);

  double duration() const;     // seconds of one pass
  double currentTime() const;  // position within the current pass
  void setCurrentTime(double seconds);
  const std::string& name() const { return name_; }

  void setDelegate(std::weak_ptr<AudioPlayerDelegate> delegate);
  std::shared_ptr<AudioPlayerDelegate> delegate() const;

  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;

 private:
  AudioPlayer(std::string name, double duration, double playableDuration);
  void scheduleEndLocked() REQUIRES(mutex_);
  void stopLocked() REQUIRES(mutex_);
  double positionLocked() const REQUIRES(mutex_);  // seconds since the start of the first pass
  void endReached(std::uint64_t generation);

  mutable RecursiveMutex mutex_;
  const std::string name_;
  const double duration_;
  const double playable_;  // seconds of real data; below duration_ for truncated data
  long loops_ GUARDED_BY(mutex_) = 0;
  float volume_ GUARDED_BY(mutex_) = 1.0f;
  bool playing_ GUARDED_BY(mutex_) = false;
  double position_ GUARDED_BY(mutex_) = 0;           // at the last start or pause
  double startedAt_ GUARDED_BY(mutex_) = 0;          // clock uptime when play() started
  std::uint64_t generation_ GUARDED_BY(mutex_) = 0;  // invalidates scheduled ends after pause/stop/seek
  std::weak_ptr<AudioPlayerDelegate> delegate_ GUARDED_BY(mutex_);
};

// A valid placeholder sound: silent 8 kHz mono 8-bit PCM of `seconds`, tagged with `name`.
// Tools that lay out the app's resources write these instead of real recordings.
Data placeholderSound(std::string_view name, double seconds);

}  // namespace platform
