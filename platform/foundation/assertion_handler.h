// Failed assertions of callers' preconditions. The current thread's handler decides: by default
// it raises kInternalInconsistencyException with the description; a handler that returns lets
// the caller go on (the caller then logs and fails softly).
#pragma once

#include <functional>
#include <string_view>

namespace platform::AssertionHandler {

using Handler = std::function<void(std::string_view file, std::string_view description)>;

void handleFailure(std::string_view file, std::string_view description);
// Replaces the calling thread's handler (an empty one restores the default); answers the old one.
Handler setCurrentHandler(Handler handler);

}  // namespace platform::AssertionHandler
