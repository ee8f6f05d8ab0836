#include "app/haptic_center.h"
#include "focus_app_fixture.h"
#include "platform/ui/feedback_generator.h"

namespace {

using platform::Value;

class HapticCenterTest : public FocusAppTest {};

TEST_F(HapticCenterTest, OnlyFullSupportPlaysTheLightImpact) {
  struct Case {
    const char* name;
    std::optional<Value> level;
    bool plays;
  };
  const Case cases[] = {
      {"full", Value(2), true},
      {"partial", Value(1), false},
      {"none", Value(0), false},
      {"absent", Value(), false},
      {"as text", Value("2"), false},
      {"as a fraction", Value(2.0), false},
      {"as a flag", Value(true), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Trace::clear();
    platform::Device::current().setFeedbackSupportLevel(c.level);
    EXPECT_EQ(HapticCenter::isHapticSupported(), c.plays);
    HapticCenter haptics;
    haptics.playLightHaptic();
    EXPECT_EQ(traceCount("haptic", "impact light"), c.plays ? 1u : 0u);
    if (c.plays) {
      ASSERT_TRUE(haptics.lightHapticGenerator());
      EXPECT_EQ(haptics.lightHapticGenerator()->style(), platform::ImpactFeedbackStyle::Light);
      EXPECT_TRUE(haptics.lightHapticGenerator()->isPrepared());
    } else {
      EXPECT_FALSE(haptics.lightHapticGenerator());
    }
  }
}

TEST_F(HapticCenterTest, TheResetButtonTapsOnlyOnPhonesWithFullSupport) {
  for (const auto& [model, taps] : {std::pair<const char*, std::size_t>{"iPhone", 1}, {"iPad", 0}}) {
    SCOPED_TRACE(model);
    auto focus = launch(Launch().onDevice(model));
    ASSERT_TRUE(platform::UIDriver::tap(*focus->closeButton()));
    EXPECT_EQ(traceCount("haptic"), taps);
    app_.reset();
    resetWorld();
  }
}

}  // namespace
