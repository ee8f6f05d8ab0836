// Builds an entity tree from the bytes (every input is a valid tree) and runs it in a fresh
// interpreter: whatever the program, the run must end without a crash, a hang or runaway memory.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"
#include "sdk/analytics/script/apmp_scope.h"

namespace {

class TreeReader {
 public:
  TreeReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool more() const { return position_ < size_ && nodes_ < 4000; }

  APMPValuePtr node(int depth) {
    ++nodes_;
    const std::uint8_t kind = next();
    if (depth > 40 || kind % 8 < 3) return literal(kind);
    static const char* const kNames[] = {"f", "g", "x", "runtime.counter", "length", "toString", "hasOwnProperty"};
    const std::uint8_t which = next();
    const std::string name = which < 200 ? std::to_string(which % 70) : kNames[which % 7];
    APMPArguments arguments;
    for (int count = next() % 6; count > 0 && more(); --count) arguments.push_back(node(depth + 1));
    return APMPStatementValue::initWithFunctionName(APMPText(name), std::move(arguments));
  }

 private:
  std::uint8_t next() { return position_ < size_ ? data_[position_++] : 0; }

  APMPValuePtr literal(std::uint8_t kind) {
    const std::uint8_t v = next();
    switch (kind % 8) {
      case 0: {
        static const double kSpecial[] = {0.0, -0.0, 1e21, 4294967296.0, 2147483648.0, -1, 0.5, 1e9};
        return APMPNumberValue::make(v >= 240 ? kSpecial[v % 8] : double(v) - 20);
      }
      case 1: {
        static const char* const kTexts[] = {"f",     "g",     "x",      "",       "length", "1",      " 2 ",
                                             "abc",   "0x1A",  "NaN",    "split",  "match",  "replace", "(a+)+$",
                                             "push",  "map",   "reduce", "splice", "sort",   "[",       "concat"};
        constexpr std::size_t kCount = sizeof kTexts / sizeof kTexts[0];
        return APMPStringValue::make(APMPText(kTexts[v % kCount]));
      }
      default: return APMPBooleanValue::booleanValueWithBool(v & 1);
    }
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  std::size_t nodes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TreeReader reader(data, size);
  APMPArguments program;
  while (reader.more() && program.size() < 16) program.push_back(reader.node(0));
  APMPRuntimeHeap heap;
  const APMPScopePtr global = heap.rootScope()->createChildScope();
  platform::Error error;
  APMPEvaluator::executeStatements(program, global, &error);
  return 0;
}
