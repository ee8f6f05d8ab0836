#include "platform/ui/color.h"

#include "platform/foundation/format.h"

namespace platform {

std::string Color::description() const { return format("rgba(%g, %g, %g, %g)", red, green, blue, alpha); }

}  // namespace platform
