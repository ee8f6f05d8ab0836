// Stored events come back from disk as event messages: any bytes must give an event or nothing,
// and an event made from them must survive its own wire form.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "platform/foundation/console.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/messages/nano_accessors.h"

// The monitor keeps its figures in user defaults under the app's home: a scratch home keeps the
// fuzzer away from the user's; refused input is logged, and the terminal need not see it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static const std::string home = "/tmp/fuzz_analytics_event_" + std::to_string(getpid());
  setenv("FOCUS_HOME", home.c_str(), 1);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  });
  platform::Console::setEchoToTerminal(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const platform::Data bytes(data, data + size);
  const auto proto = APMPBEvent::initWithBuffer(bytes);
  if (!proto) return 0;
  const auto event = APMEvent::initWithEventProto(*proto);
  if (!event) return 0;
  const auto encoded = event->protoEvent()->protoBuffer();
  if (!encoded) std::abort();
  const auto again = APMPBEvent::initWithBuffer(*encoded);
  if (!again) std::abort();
  const auto back = APMEvent::initWithEventProto(*again);
  if (!back || back->name() != event->name() || back->origin() != event->origin()) std::abort();
  // Array parameters do not come back from the wire form; every other one does.
  for (const auto& [name, value] : event->parameters()) {
    const APMValuePtr* held = value.apmValue();
    const bool array = held && *held && (*held)->isArray();
    if (array == back->parameters().contains(name)) std::abort();
  }
  if (back->parameters().size() > event->parameters().size()) std::abort();
  return 0;
}
