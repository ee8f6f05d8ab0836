// The process's audio session: the category decides how the app's sounds mix with others.
#pragma once

#include <string>
#include <string_view>

namespace platform {

class Error;

inline constexpr std::string_view kAudioSessionCategoryAmbient = "AVAudioSessionCategoryAmbient";
inline constexpr std::string_view kAudioSessionCategorySoloAmbient = "AVAudioSessionCategorySoloAmbient";
inline constexpr std::string_view kAudioSessionCategoryPlayback = "AVAudioSessionCategoryPlayback";
inline constexpr std::string_view kAudioSessionModeDefault = "AVAudioSessionModeDefault";

// Category options, combinable.
enum AudioSessionCategoryOptions : unsigned {
  kAudioSessionCategoryOptionNone = 0,
  kAudioSessionCategoryOptionMixWithOthers = 1,
  kAudioSessionCategoryOptionDuckOthers = 2,
};

class AudioSession {
 public:
  static AudioSession& sharedInstance();

  // False with `error` filled when the system refuses (MediaDriver::setAudioSessionFailure).
  // A refused call leaves the previous category in force.
  bool setCategory(std::string_view category, std::string_view mode, unsigned options, Error* error);
  bool setCategory(std::string_view category, Error* error);
  bool setActive(bool active, Error* error);

  std::string category() const;  // "AVAudioSessionCategorySoloAmbient" until set
  std::string mode() const;
  unsigned categoryOptions() const;
  bool isActive() const;

  AudioSession(const AudioSession&) = delete;
  AudioSession& operator=(const AudioSession&) = delete;

 private:
  AudioSession() = default;
};

}  // namespace platform
