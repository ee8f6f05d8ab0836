#include "platform/foundation/locale.h"

#include <unicode/locid.h>

namespace platform {

std::string currentLocaleIdentifier() { return icu::Locale::getDefault().getName(); }

}  // namespace platform
