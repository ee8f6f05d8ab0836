// The device's current locale, read each time it is asked for (the user may change it).
#pragma once

#include <string>

namespace platform {

// An identifier such as "en_US", as the locale-dependent string functions take it.
std::string currentLocaleIdentifier();

}  // namespace platform
