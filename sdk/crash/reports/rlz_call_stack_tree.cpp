#include "sdk/crash/reports/rlz_call_stack_tree.h"

#include "platform/foundation/console.h"
#include "platform/foundation/json.h"
#include "platform/metrics/metric_manager.h"

namespace {

std::int64_t integer(const platform::Value& value) { return value.isNumber() ? value.integerValue() : 0; }

}  // namespace

std::optional<RLZCallStackTree> RLZCallStackTree::initWithMXCallStackTree(const platform::metrics::MXJSONObject& tree) {
  const platform::Data data = tree.JSONRepresentation();
  if (data.empty()) return std::nullopt;
  platform::Error error;
  const auto json = platform::JSON::parse(data, &error);
  if (!json) {
    platform::Console::log("Ralitoze: error creating json");
    return std::nullopt;
  }
  RLZCallStackTree result;
  result.callStackPerThread_ = (*json)["callStackPerThread"].boolValue();
  if (const auto* callStacks = (*json)["callStacks"].ifArray()) {
    for (const auto& callStack : *callStacks) {
      RLZThread thread;
      thread.threadBlamed = callStack["threadAttributed"].boolValue();
      flattenSubFrames(callStack["callStackRootFrames"], thread.frames);
      result.threads_.push_back(std::move(thread));
    }
  }
  return result;
}

void RLZCallStackTree::flattenSubFrames(const platform::Value& subFrames, std::vector<RLZFrame>& frames) {
  // Iterative: a hostile payload's chain depth must not decide the stack's.
  const platform::Value* level = &subFrames;
  while (const auto* list = level->ifArray()) {
    if (list->empty()) return;
    const platform::Value& frame = list->front();
    if (!frame.isDictionary()) return;
    frames.push_back({integer(frame["address"]), integer(frame["sampleCount"]),
                      integer(frame["offsetIntoBinaryTextSegment"]),
                      frame["binaryName"].ifString() ? *frame["binaryName"].ifString() : std::string(),
                      frame["binaryUUID"]});
    level = &frame["subFrames"];
  }
}

platform::Value::Array RLZCallStackTree::getArrayRepresentation() const {
  platform::Value::Array threads;
  for (const auto& thread : threads_) threads.push_back(getDictionaryRepresentation(thread));
  return threads;
}

platform::Value RLZCallStackTree::getDictionaryRepresentation(const RLZThread& thread) {
  platform::Value::Array stacktrace;
  for (const auto& frame : thread.frames) stacktrace.emplace_back(frame.address);
  return platform::Value::dictionary({
      {"registers", platform::Value::dictionary({})},
      {"stacktrace", platform::Value(std::move(stacktrace))},
      {"crashed", platform::Value(thread.threadBlamed)},
  });
}

platform::Value::Array RLZCallStackTree::getFramesOfBlamedThread() const {
  for (const auto& thread : threads_) {
    if (thread.threadBlamed) return convertFramesFor(thread);
  }
  if (threads_.empty()) return {};
  return convertFramesFor(threads_.front());
}

platform::Value::Array RLZCallStackTree::convertFramesFor(const RLZThread& thread) {
  platform::Value::Array frames;
  for (const auto& frame : thread.frames) {
    frames.push_back(platform::Value::dictionary({
        {"pc", platform::Value(frame.address)},
        {"offset", platform::Value(frame.offsetIntoBinaryTextSegment)},
        {"line", platform::Value(std::int64_t{0})},
    }));
  }
  return frames;
}
