// The light tap that confirms a button, played only on devices with full haptic support. Callers
// make one for each tap.
#pragma once

#include <memory>

namespace platform {
class ImpactFeedbackGenerator;
}

class HapticCenter {
 public:
  HapticCenter();
  ~HapticCenter();

  // The device reports "_feedbackSupportLevel" as the integer 2.
  static bool isHapticSupported();
  void playLightHaptic();

  const platform::ImpactFeedbackGenerator* lightHapticGenerator() const { return lightHapticGenerator_.get(); }

 private:
  std::unique_ptr<platform::ImpactFeedbackGenerator> lightHapticGenerator_;
};
