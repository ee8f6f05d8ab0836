#include "platform/foundation/console.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/thread_safety.h"

namespace platform::Console {

namespace {

struct ConsoleState {
  Mutex mutex;
  bool echo GUARDED_BY(mutex) = true;
  int nextSink GUARDED_BY(mutex) = 1;
  std::map<int, std::shared_ptr<Sink>> sinks GUARDED_BY(mutex);
};

ConsoleState& state() {
  static auto* s = new ConsoleState;  // lines logged from static destructors still have somewhere to go
  return *s;
}

void emit(Stream stream, std::string_view line, bool toTerminal = true) {
  ConsoleState& s = state();
  std::vector<std::shared_ptr<Sink>> sinks;
  {
    MutexLock lock(s.mutex);
    if (s.echo && toTerminal) {
      // One write of the whole line under the lock keeps lines of different threads apart.
      std::string text(line);
      text.push_back('\n');
      std::FILE* out = stream == Stream::Print ? stdout : stderr;
      std::fwrite(text.data(), 1, text.size(), out);
      std::fflush(out);
    }
    sinks.reserve(s.sinks.size());
    for (auto& [id, sink] : s.sinks) sinks.push_back(sink);
  }
  // Sinks run outside the lock so that a sink may itself print or hand the line to a queue.
  for (auto& sink : sinks) (*sink)(stream, line);
}

}  // namespace

void print(std::string_view line) { emit(Stream::Print, line); }

void log(std::string_view line) { emit(Stream::Log, line); }

void systemLog(std::string_view line) { emit(Stream::Log, line, false); }

int addSink(Sink sink) {
  ConsoleState& s = state();
  MutexLock lock(s.mutex);
  int id = s.nextSink++;
  s.sinks.emplace(id, std::make_shared<Sink>(std::move(sink)));
  return id;
}

void removeSink(int id) {
  ConsoleState& s = state();
  MutexLock lock(s.mutex);
  s.sinks.erase(id);
}

void setEchoToTerminal(bool echo) {
  ConsoleState& s = state();
  MutexLock lock(s.mutex);
  s.echo = echo;
}

}  // namespace platform::Console
