#include "platform/media/audio_player.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/trace.h"
#include "platform/media/media_state.h"
#include "platform/runloop/clock.h"

namespace platform {

namespace {

Error audioError(std::int64_t code) { return Error(std::string(kOSStatusErrorDomain), code); }

std::uint32_t le32(const Data& d, std::size_t at) {
  return std::uint32_t{d[at]} | std::uint32_t{d[at + 1]} << 8 | std::uint32_t{d[at + 2]} << 16 |
         std::uint32_t{d[at + 3]} << 24;
}
std::uint16_t le16(const Data& d, std::size_t at) { return static_cast<std::uint16_t>(d[at] | d[at + 1] << 8); }
bool tagIs(const Data& d, std::size_t at, const char* tag) { return std::memcmp(d.data() + at, tag, 4) == 0; }

struct Decoded {
  std::string name;
  double duration = 0;
  double playable = 0;
};

// The tag's text up to its first NUL.
std::string tagText(const Data& d, std::size_t at, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(d.data() + at), size);
  if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

std::optional<std::string> infoName(const Data& d, std::size_t at, std::size_t size) {
  if (size < 4 || !tagIs(d, at, "INFO")) return std::nullopt;
  std::size_t pos = at + 4;
  const std::size_t end = at + size;
  while (pos + 8 <= end) {
    const std::size_t sub = le32(d, pos + 4);
    if (sub > end - pos - 8) return std::nullopt;
    if (tagIs(d, pos, "INAM")) {
      std::string name = tagText(d, pos + 8, sub);
      if (!name.empty()) return name;
    }
    pos += 8 + sub + (sub & 1);
  }
  return std::nullopt;
}

std::optional<Decoded> decode(const Data& d, Error* error) {
  if (d.size() < 12 || !tagIs(d, 0, "RIFF") || !tagIs(d, 8, "WAVE")) {
    setError(error, audioError(kAudioFileUnsupportedFileTypeError));
    return std::nullopt;
  }
  Decoded out;
  std::optional<std::uint32_t> byteRate;
  std::optional<std::size_t> declared, available;
  std::size_t pos = 12;
  while (pos + 8 <= d.size()) {
    const std::size_t size = le32(d, pos + 4);
    const std::size_t body = pos + 8;
    const std::size_t left = d.size() - body;
    if (tagIs(d, pos, "data")) {
      declared = size;
      available = std::min(size, left);
      if (size > left) break;  // truncated: what follows is missing anyway
    } else {
      if (size > left) {
        setError(error, audioError(kAudioFileInvalidFileError));
        return std::nullopt;
      }
      if (tagIs(d, pos, "fmt ")) {
        if (size < 16) {
          setError(error, audioError(kAudioFileInvalidFileError));
          return std::nullopt;
        }
        const std::uint16_t format = le16(d, body);
        const std::uint16_t channels = le16(d, body + 2);
        const std::uint32_t rate = le32(d, body + 8);
        if (format != 1 && format != 3 && format != 0xFFFE) {
          setError(error, audioError(kAudioFileUnsupportedDataFormatError));
          return std::nullopt;
        }
        if (channels == 0 || rate == 0) {
          setError(error, audioError(kAudioFileInvalidFileError));
          return std::nullopt;
        }
        byteRate = rate;
      } else if (tagIs(d, pos, "LIST")) {
        if (auto name = infoName(d, body, size)) out.name = *name;
      }
    }
    pos = body + size + (size & 1);
  }
  if (!byteRate || !declared) {
    setError(error, audioError(kAudioFileInvalidFileError));
    return std::nullopt;
  }
  out.duration = static_cast<double>(*declared) / *byteRate;
  out.playable = static_cast<double>(*available) / *byteRate;
  return out;
}

double uptime() { return Clock::current().uptime(); }

void put32(Data& d, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(Data& d, std::uint16_t v) {
  d.push_back(static_cast<std::uint8_t>(v));
  d.push_back(static_cast<std::uint8_t>(v >> 8));
}
void putTag(Data& d, const char* tag) { d.insert(d.end(), tag, tag + 4); }

}  // namespace

std::shared_ptr<AudioPlayer> AudioPlayer::make(const Data& data, Error* error) {
  auto decoded = decode(data, error);
  if (!decoded) return nullptr;
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  if (decoded->name.empty()) {
    auto known = s.assetNames.find(MediaState::hashOf(data));
    decoded->name = known != s.assetNames.end() ? known->second : "untitled";
  }
  std::shared_ptr<AudioPlayer> player(new AudioPlayer(decoded->name, decoded->duration, decoded->playable));
  s.players.push_back(player.get());
  return player;
}

AudioPlayer::AudioPlayer(std::string name, double duration, double playableDuration)
    : name_(std::move(name)), duration_(duration), playable_(playableDuration) {}

AudioPlayer::~AudioPlayer() {
  {
    auto& s = MediaState::shared();
    MutexLock lock(s.mutex);
    std::erase(s.players, this);
  }
  bool wasPlaying;
  {
    RecursiveMutexLock lock(mutex_);
    wasPlaying = playing_;
    stopLocked();
  }
  if (wasPlaying) Trace::record("sound-stop", name_);
}

bool AudioPlayer::prepareToPlay() { return true; }

double AudioPlayer::positionLocked() const { return playing_ ? position_ + (uptime() - startedAt_) : position_; }

bool AudioPlayer::play() {
  {
    RecursiveMutexLock lock(mutex_);
    if (playing_) return true;
    playing_ = true;
    startedAt_ = uptime();
    scheduleEndLocked();
  }
  Trace::record("sound", name_);
  return true;
}

void AudioPlayer::pause() {
  {
    RecursiveMutexLock lock(mutex_);
    if (!playing_) return;
    stopLocked();
  }
  Trace::record("sound-stop", name_);
}

void AudioPlayer::stop() { pause(); }

void AudioPlayer::stopLocked() {
  if (!playing_) return;
  position_ = positionLocked();
  playing_ = false;
  ++generation_;
}

bool AudioPlayer::isPlaying() const {
  RecursiveMutexLock lock(mutex_);
  return playing_;
}

long AudioPlayer::numberOfLoops() const {
  RecursiveMutexLock lock(mutex_);
  return loops_;
}

void AudioPlayer::setNumberOfLoops(long loops) {
  RecursiveMutexLock lock(mutex_);
  loops_ = loops < 0 ? -1 : loops;
  if (playing_) {
    // The new count applies to the passes still to come, counted from the current position.
    position_ = positionLocked();
    startedAt_ = uptime();
    scheduleEndLocked();
  }
}

float AudioPlayer::volume() const {
  RecursiveMutexLock lock(mutex_);
  return volume_;
}

void AudioPlayer::setVolume(float volume) {
  RecursiveMutexLock lock(mutex_);
  volume_ = std::clamp(volume, 0.0f, 1.0f);
}

void AudioPlayer::setVolume(float volume, double /*fadeDuration*/) { setVolume(volume); }

double AudioPlayer::duration() const { return duration_; }

double AudioPlayer::currentTime() const {
  RecursiveMutexLock lock(mutex_);
  const double position = positionLocked();
  return duration_ > 0 ? std::fmod(position, duration_) : 0.0;
}

void AudioPlayer::setCurrentTime(double seconds) {
  RecursiveMutexLock lock(mutex_);
  // A seek restarts the pass count, as the platform counts loops from the seek.
  position_ = std::clamp(seconds, 0.0, duration_);
  if (playing_) {
    startedAt_ = uptime();
    scheduleEndLocked();
  }
}

void AudioPlayer::setDelegate(std::weak_ptr<AudioPlayerDelegate> delegate) {
  RecursiveMutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<AudioPlayerDelegate> AudioPlayer::delegate() const {
  RecursiveMutexLock lock(mutex_);
  return delegate_.lock();
}

void AudioPlayer::scheduleEndLocked() {
  const std::uint64_t generation = ++generation_;
  const double position = position_;
  double remaining;
  if (playable_ < duration_) {
    const double inPass = duration_ > 0 ? std::fmod(position, duration_) : 0.0;
    remaining = std::max(0.0, playable_ - inPass);
  } else if (loops_ == -1) {
    return;
  } else {
    remaining = std::max(0.0, duration_ * static_cast<double>(loops_ + 1) - position);
  }
  std::weak_ptr<AudioPlayer> weak = weak_from_this();
  MediaState::playbackQueue()->after(remaining, [weak, generation] {
    if (auto self = weak.lock()) self->endReached(generation);
  });
}

void AudioPlayer::endReached(std::uint64_t generation) {
  bool decodeError;
  {
    RecursiveMutexLock lock(mutex_);
    if (generation != generation_ || !playing_) return;
    decodeError = playable_ < duration_;
    playing_ = false;
    ++generation_;
    position_ = decodeError ? playable_ : 0.0;
  }
  Trace::record(decodeError ? "sound-error" : "sound-end", name_);
  std::weak_ptr<AudioPlayer> weak = weak_from_this();
  DispatchQueue::main()->async([weak, decodeError] {
    auto self = weak.lock();
    if (!self) return;
    auto delegate = self->delegate();
    if (!delegate) return;
    if (decodeError) {
      const Error error = audioError(kAudioFileInvalidFileError);
      delegate->audioPlayerDecodeErrorDidOccur(*self, &error);
    } else {
      delegate->audioPlayerDidFinishPlaying(*self, true);
    }
  });
}

Data placeholderSound(std::string_view name, double seconds) {
  constexpr std::uint32_t kRate = 8000;
  const auto samples = static_cast<std::uint32_t>(std::max(0.0, seconds) * kRate);
  std::string tag(name);
  tag.push_back('\0');
  if (tag.size() & 1) tag.push_back('\0');
  const auto listSize = static_cast<std::uint32_t>(4 + 8 + tag.size());

  Data d;
  putTag(d, "RIFF");
  put32(d, 0);  // patched below
  putTag(d, "WAVE");
  putTag(d, "fmt ");
  put32(d, 16);
  put16(d, 1);      // PCM
  put16(d, 1);      // mono
  put32(d, kRate);  // samples per second
  put32(d, kRate);  // bytes per second
  put16(d, 1);      // block alignment
  put16(d, 8);      // bits per sample
  putTag(d, "LIST");
  put32(d, listSize);
  putTag(d, "INFO");
  putTag(d, "INAM");
  put32(d, static_cast<std::uint32_t>(tag.size()));
  d.insert(d.end(), tag.begin(), tag.end());
  putTag(d, "data");
  put32(d, samples);
  d.insert(d.end(), samples, std::uint8_t{0x80});  // 8-bit silence
  if (samples & 1) d.push_back(0);
  const auto riffSize = static_cast<std::uint32_t>(d.size() - 8);
  for (int i = 0; i < 4; ++i) d[4 + i] = static_cast<std::uint8_t>(riffSize >> (8 * i));
  return d;
}

}  // namespace platform
