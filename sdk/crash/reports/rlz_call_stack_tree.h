// A diagnostic's call-stack tree in the crash reporter's thread layout. Each thread keeps one
// chain of frames: the root, its first sub-frame, that one's first sub-frame, and so on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::metrics {
class MXJSONObject;
}

struct RLZFrame {
  std::int64_t address = 0;
  std::int64_t sampleCount = 0;
  std::int64_t offsetIntoBinaryTextSegment = 0;
  std::string binaryName;
  platform::Value binaryUUID;
};

struct RLZThread {
  std::string threadName;  // never set from a tree
  bool threadBlamed = false;
  std::vector<RLZFrame> frames;
};

class RLZCallStackTree {
 public:
  // None when the tree has no representation or it does not parse.
  static std::optional<RLZCallStackTree> initWithMXCallStackTree(const platform::metrics::MXJSONObject& tree);
  static void flattenSubFrames(const platform::Value& subFrames, std::vector<RLZFrame>& frames);

  // One {"registers", "stacktrace", "crashed"} per thread, in tree order.
  platform::Value::Array getArrayRepresentation() const;
  static platform::Value getDictionaryRepresentation(const RLZThread& thread);
  // The frames of the first blamed thread (else the first thread) as {"pc", "offset", "line"}.
  platform::Value::Array getFramesOfBlamedThread() const;
  static platform::Value::Array convertFramesFor(const RLZThread& thread);

  const std::vector<RLZThread>& threads() const { return threads_; }
  bool callStackPerThread() const { return callStackPerThread_; }

 private:
  std::vector<RLZThread> threads_;
  bool callStackPerThread_ = false;
};
