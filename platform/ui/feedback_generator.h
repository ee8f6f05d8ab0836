// Haptic feedback generators. An impact is an observable effect: it goes to the trace as
// "haptic" with the detail "impact <style>".
#pragma once

#include <string_view>

namespace platform {

enum class ImpactFeedbackStyle { Light = 0, Medium = 1, Heavy = 2, Soft = 3, Rigid = 4 };

class ImpactFeedbackGenerator {
 public:
  explicit ImpactFeedbackGenerator(ImpactFeedbackStyle style = ImpactFeedbackStyle::Medium) : style_(style) {}
  ImpactFeedbackStyle style() const { return style_; }
  // Wakes the engine so that the next impact comes without delay; no effect of its own.
  void prepare() { prepared_ = true; }
  bool isPrepared() const { return prepared_; }
  void impactOccurred();
  void impactOccurredWithIntensity(double intensity);

 private:
  ImpactFeedbackStyle style_;
  bool prepared_ = false;
};

std::string_view impactStyleName(ImpactFeedbackStyle style);

}  // namespace platform
