#include "platform/foundation/assertion_handler.h"

#include <string>

#include "platform/foundation/exception.h"

namespace platform::AssertionHandler {

namespace {
thread_local Handler current;
}

void handleFailure(std::string_view file, std::string_view description) {
  if (current) {
    current(file, description);
    return;
  }
  throw Exception(std::string(kInternalInconsistencyException), std::string(description),
                  Value::Dictionary{{"file", Value(std::string(file))}});
}

Handler setCurrentHandler(Handler handler) { return std::exchange(current, std::move(handler)); }

}  // namespace platform::AssertionHandler
