// Whole event-editing programs as a server sends them: the bytes are decoded as a `Program`
// message, loaded with its activities, and the program edits an event. Whatever the bytes, this
// ends without a crash, a hang or runaway memory.
#include <cstddef>
#include <cstdint>

#include "platform/foundation/error.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/script/apmp_event_editing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const platform::Data bytes(data, data + size);
  const auto program = APMPBProgram::initWithBuffer(bytes);
  if (!program) return 0;
  APMPEventEditing editing;
  editing.registerEnvironmentModules({});
  platform::Error error;
  if (!editing.loadProgram(*program, &error)) return 0;
  const APMPEvent event("purchase", 1000.5,
                        {{"price", platform::Value(2.5)}, {"tags", platform::Value("a,b")},
                         {"items", platform::Value(platform::Value::Array{platform::Value(platform::Value::Dictionary{
                                       {"id", platform::Value("sku")}})})}});
  editing.editEvent(event);
  editing.editEvent(event);
  return 0;
}
