#include "platform/ui/feedback_generator.h"

#include <string>

#include "platform/foundation/format.h"
#include "platform/foundation/trace.h"

namespace platform {

std::string_view impactStyleName(ImpactFeedbackStyle style) {
  switch (style) {
    case ImpactFeedbackStyle::Light:
      return "light";
    case ImpactFeedbackStyle::Medium:
      return "medium";
    case ImpactFeedbackStyle::Heavy:
      return "heavy";
    case ImpactFeedbackStyle::Soft:
      return "soft";
    case ImpactFeedbackStyle::Rigid:
      return "rigid";
  }
  return "medium";
}

void ImpactFeedbackGenerator::impactOccurred() {
  Trace::record("haptic", "impact " + std::string(impactStyleName(style_)));
}

void ImpactFeedbackGenerator::impactOccurredWithIntensity(double intensity) {
  Trace::record("haptic", format("impact %@ %.2f", std::string(impactStyleName(style_)), intensity));
}

}  // namespace platform
