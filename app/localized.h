// Every text the user sees comes from the main bundle's localisation table by key.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/bundle.h"

inline std::string localizedString(std::string_view key) {
  auto bundle = platform::Bundle::main();
  return bundle ? bundle->localizedString(key) : std::string(key);
}
