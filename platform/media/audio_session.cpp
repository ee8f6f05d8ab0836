#include "platform/media/audio_session.h"

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/media/media_state.h"

namespace platform {

AudioSession& AudioSession::sharedInstance() {
  static AudioSession session;
  return session;
}

bool AudioSession::setCategory(std::string_view category, std::string_view mode, unsigned options, Error* error) {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  if (s.sessionFailure) {
    setError(error, *s.sessionFailure);
    return false;
  }
  s.category = category;
  s.mode = mode;
  s.options = options;
  return true;
}

bool AudioSession::setCategory(std::string_view category, Error* error) {
  return setCategory(category, kAudioSessionModeDefault, kAudioSessionCategoryOptionNone, error);
}

bool AudioSession::setActive(bool active, Error* error) {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  if (s.sessionFailure) {
    setError(error, *s.sessionFailure);
    return false;
  }
  s.active = active;
  return true;
}

std::string AudioSession::category() const {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  return s.category.empty() ? std::string(kAudioSessionCategorySoloAmbient) : s.category;
}

std::string AudioSession::mode() const {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  return s.mode.empty() ? std::string(kAudioSessionModeDefault) : s.mode;
}

unsigned AudioSession::categoryOptions() const {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  return s.options;
}

bool AudioSession::isActive() const {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  return s.active;
}

}  // namespace platform
