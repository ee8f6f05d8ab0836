// The analytics message decoder on arbitrary bytes: the first byte picks the message type. What
// decodes must re-encode, and the re-encoding must decode to the same bytes.
#include <cstdint>
#include <cstdlib>

#include "platform/foundation/console.h"
#include "sdk/analytics/messages/message_schemas.h"

// Every refused input prints a line; the terminal need not see them.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::Console::setEchoToTerminal(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto schemas = NANOAllMessageSchemas();
  const NANOMessageSchema& schema = *schemas[data[0] % schemas.size()];
  MessageInfo* record = NANONewMessageInfo(schema);
  const bool decoded = NANODecode(schema, data + 1, size - 1, record);
  if (decoded) {
    auto encoded = NANOEncodeToData(schema, record);
    if (!encoded) std::abort();
    MessageInfo* again = NANONewMessageInfo(schema);
    if (!NANODecode(schema, encoded->data(), encoded->size(), again)) std::abort();
    if (NANOEncodeToData(schema, again) != encoded) std::abort();
    NANODeallocMessage(schema, again);
  }
  NANODeallocMessage(schema, record);
  return 0;
}
