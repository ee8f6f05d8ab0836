#include <algorithm>

#include "platform/foundation/console.h"
#include "platform/foundation/thread_safety.h"
#include "platform/testing/testing.h"

namespace platform::testing {

struct LogCapture::State {
  mutable Mutex mutex;
  std::vector<std::pair<Console::Stream, std::string>> lines GUARDED_BY(mutex);
};

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
  // The sink holds the state itself: a line may still arrive on another thread while we go.
  sink_ = Console::addSink([state = state_](Console::Stream stream, std::string_view line) {
    MutexLock lock(state->mutex);
    state->lines.emplace_back(stream, std::string(line));
  });
}

LogCapture::~LogCapture() { Console::removeSink(sink_); }

std::vector<std::string> LogCapture::lines() const {
  MutexLock lock(state_->mutex);
  std::vector<std::string> result;
  for (const auto& [stream, line] : state_->lines) result.push_back(line);
  return result;
}

std::vector<std::string> LogCapture::prints() const {
  MutexLock lock(state_->mutex);
  std::vector<std::string> result;
  for (const auto& [stream, line] : state_->lines) {
    if (stream == Console::Stream::Print) result.push_back(line);
  }
  return result;
}

std::vector<std::string> LogCapture::logs() const {
  MutexLock lock(state_->mutex);
  std::vector<std::string> result;
  for (const auto& [stream, line] : state_->lines) {
    if (stream == Console::Stream::Log) result.push_back(line);
  }
  return result;
}

bool LogCapture::contains(std::string_view fragment) const {
  MutexLock lock(state_->mutex);
  return std::any_of(state_->lines.begin(), state_->lines.end(),
                     [&](const auto& entry) { return entry.second.find(fragment) != std::string::npos; });
}

void LogCapture::clear() {
  MutexLock lock(state_->mutex);
  state_->lines.clear();
}

}  // namespace platform::testing
