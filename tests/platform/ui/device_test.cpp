#include "platform/ui/device.h"

#include <gtest/gtest.h>

#include "platform/foundation/system_info.h"
#include "platform/foundation/trace.h"
#include "platform/ui/feedback_generator.h"
#include "platform/ui/screen.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

using DeviceTest = UITest;

TEST_F(DeviceTest, ProximityStateIsCoveredOnlyWhileMonitoringAndOnlySensorChangesPost) {
  struct Step {
    const char* what;
    std::function<void(Device&)> act;
    bool state;
    int posts;  // notifications so far
  };
  const Step steps[] = {
      {"cover without monitoring", [](Device& d) { d.setSensorCovered(true); }, false, 0},
      {"monitor while covered", [](Device& d) { d.setProximityMonitoringEnabled(true); }, true, 0},
      {"uncover while monitoring", [](Device& d) { d.setSensorCovered(false); }, false, 1},
      {"uncover again", [](Device& d) { d.setSensorCovered(false); }, false, 1},
      {"cover while monitoring", [](Device& d) { d.setSensorCovered(true); }, true, 2},
      {"stop monitoring", [](Device& d) { d.setProximityMonitoringEnabled(false); }, false, 2},
      {"uncover without monitoring", [](Device& d) { d.setSensorCovered(false); }, false, 2},
  };
  NotificationRecorder recorder({kDeviceProximityStateDidChangeNotification});
  Device& device = Device::current();
  device.setModel("iPhone");
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    s.act(device);
    EXPECT_EQ(device.proximityState(), s.state);
    EXPECT_EQ(static_cast<int>(recorder.names().size()), s.posts);
  }
}

TEST_F(DeviceTest, DevicesWithoutTheSensorNeverMonitor) {
  NotificationRecorder recorder({kDeviceProximityStateDidChangeNotification});
  Device& device = Device::current();
  device.setModel("iPad");
  device.setProximityMonitoringEnabled(true);
  EXPECT_FALSE(device.isProximityMonitoringEnabled());
  device.setSensorCovered(true);
  EXPECT_FALSE(device.proximityState());
  EXPECT_TRUE(recorder.names().empty());

  // Switching to a model without the sensor ends monitoring begun on a phone.
  device.reset();
  device.setModel("iPhone");
  device.setProximityMonitoringEnabled(true);
  device.setModel("iPad");
  EXPECT_FALSE(device.isProximityMonitoringEnabled());
}

TEST_F(DeviceTest, ModelAndSystemComeFromTheSystemUnlessSet) {
  Device& device = Device::current();
  EXPECT_EQ(device.model(), SystemInfo::model());
  EXPECT_EQ(device.systemVersion(), SystemInfo::systemVersion());
  device.setModel("iPad");
  EXPECT_EQ(device.model(), "iPad");
  EXPECT_EQ(device.userInterfaceIdiom(), UserInterfaceIdiom::Pad);
  device.reset();
  EXPECT_EQ(device.model(), SystemInfo::model());
}

TEST_F(DeviceTest, FeedbackSupportLevelAsAKeyValueReadFindsIt) {
  struct Case {
    const char* model;
    std::optional<Value> set;
    Value read;
  };
  const Case cases[] = {
      {"iPhone", std::nullopt, Value(2)}, {"iPad", std::nullopt, Value(0)}, {"iPhone", Value(1), Value(1)},
      {"iPhone", Value("2"), Value("2")}, {"iPhone", Value(), Value()},
  };
  Device& device = Device::current();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + (c.set ? c.set->description() : "unset"));
    device.setModel(c.model);
    device.setFeedbackSupportLevel(c.set);
    EXPECT_EQ(device.valueForKey(kFeedbackSupportLevelKey), c.read);
  }
  EXPECT_TRUE(device.valueForKey("noSuchKey").isNull());
}

TEST_F(DeviceTest, ImpactsGoToTheTrace) {
  Trace::clear();
  for (auto style : {ImpactFeedbackStyle::Light, ImpactFeedbackStyle::Heavy}) {
    ImpactFeedbackGenerator generator(style);
    generator.prepare();
    generator.impactOccurred();
  }
  auto haptics = Trace::eventsOfKind("haptic");
  ASSERT_EQ(haptics.size(), 2u);
  EXPECT_EQ(haptics[0].detail, "impact light");
  EXPECT_EQ(haptics[1].detail, "impact heavy");
}

TEST_F(DeviceTest, ScreenProfilesSetTheBounds) {
  for (const auto& profile : kScreenProfiles) {
    SCOPED_TRACE(std::string(profile.name));
    Screen::main().setSize(profile.size);
    Screen::main().setScale(profile.scale);
    EXPECT_EQ(Screen::main().bounds(), Rect(Point{}, profile.size));
    EXPECT_EQ(Screen::main().scale(), profile.scale);
  }
  Screen::main().reset();
  EXPECT_EQ(Screen::main().bounds(), Rect(0, 0, 375, 667));
}

}  // namespace
}  // namespace platform::ui_tests
