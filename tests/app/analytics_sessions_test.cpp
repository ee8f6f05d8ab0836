// The app's screens and lifecycle as the analytics engine sees them: a launch opens the first
// session, each screen that appears is a screen view, leaving the front reports engagement.
#include <map>
#include <mutex>

#include "app/settings_view_controller.h"
#include "focus_extras_fixture.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_event.h"

namespace {

class AnalyticsSessionsTest : public FocusExtrasTest {
 protected:
  struct Logged {
    std::string name;
    APMDictionary parameters;
  };

  void SetUp() override {
    FocusExtrasTest::SetUp();
    APMAnalytics::addLogEventListener([this](const std::shared_ptr<const APMEvent>& event) {
      std::lock_guard lock(mutex_);
      logged_.push_back({event->name(), event->parameters()});
    });
  }

  std::vector<Logged> take() {
    settle();
    std::lock_guard lock(mutex_);
    return std::exchange(logged_, {});
  }
  static std::vector<std::string> names(const std::vector<Logged>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.name);
    return out;
  }
  static const Logged* find(const std::vector<Logged>& events, std::string_view name) {
    for (const auto& e : events) {
      if (e.name == name) return &e;
    }
    return nullptr;
  }
  static std::optional<std::int64_t> integer(const Logged& event, std::string_view key) {
    auto it = event.parameters.find(key);
    if (it == event.parameters.end() || !it->second.apmValue() || !(*it->second.apmValue())->isInt64()) return {};
    return (*it->second.apmValue())->int64Value();
  }
  static std::optional<std::string> text(const Logged& event, std::string_view key) {
    auto it = event.parameters.find(key);
    if (it == event.parameters.end() || !it->second.apmValue() || !(*it->second.apmValue())->isString()) return {};
    return *(*it->second.apmValue())->stringValue();
  }

 private:
  std::mutex mutex_;
  std::vector<Logged> logged_;
};

TEST_F(AnalyticsSessionsTest, ALaunchAScreenChangeAndABackgroundPeriod) {
  auto focus = launch();
  auto events = take();
  const auto launchNames = names(events);
  const auto count = [&](std::string_view name) { return std::count(launchNames.begin(), launchNames.end(), name); };
  // One of each, whichever comes first of the engine's start and the app's activation.
  EXPECT_EQ(count("_f"), 1);
  EXPECT_EQ(count("_s"), 1);
  EXPECT_EQ(count("_vs"), 1);
  const Logged* first = find(events, "_vs");
  ASSERT_TRUE(first);
  EXPECT_EQ(text(*first, "_sc"), "ViewController");
  EXPECT_FALSE(integer(*first, "_pi"));
  const auto focusID = integer(*first, "_si");

  // The settings sheet is the next screen; the focus screen's engagement ends with it.
  advance(3);
  ASSERT_TRUE(tap(focus->settingButton()));
  advance(platform::ViewController::kTransitionDuration);
  auto settings = topScreen<SettingsViewController>();
  ASSERT_TRUE(settings);
  events = take();
  EXPECT_EQ(names(events), (std::vector<std::string>{"_e", "_vs"}));
  EXPECT_EQ(integer(*find(events, "_e"), "_si"), focusID);
  EXPECT_GE(integer(*find(events, "_e"), "_et").value_or(0), 3000);
  const Logged* toSettings = find(events, "_vs");
  EXPECT_EQ(text(*toSettings, "_sc"), "SettingsViewController");
  EXPECT_EQ(integer(*toSettings, "_pi"), focusID);
  EXPECT_EQ(text(*toSettings, "_pc"), "ViewController");

  // Closing the sheet returns to the focus screen under its own instance ID.
  ASSERT_TRUE(tap(settings->closeButton()));
  advance(platform::ViewController::kTransitionDuration);
  events = take();
  const Logged* back = find(events, "_vs");
  ASSERT_TRUE(back);
  EXPECT_EQ(integer(*back, "_si"), focusID);
  EXPECT_EQ(text(*back, "_pc"), "SettingsViewController");

  // Leaving the front reports engagement on the focus screen; a long absence opens a session.
  advance(20);
  app_->enterBackground();
  events = take();
  EXPECT_EQ(names(events), (std::vector<std::string>{"_e", "_ab"}));
  // Also the close transition: a screen shown for less than a second reports no engagement of its own.
  EXPECT_EQ(integer(*find(events, "_e"), "_et"), 20000 + 350);
  EXPECT_EQ(text(*find(events, "_e"), "_sc"), "ViewController");
  advance(31 * 60);
  EXPECT_TRUE(take().empty());
  app_->enterForeground();
  events = take();
  const Logged* session = find(events, "_s");
  ASSERT_TRUE(session);
  EXPECT_EQ(integer(*session, "_sno"), 2);
  EXPECT_FALSE(find(events, "_f"));
}

}  // namespace

namespace {

TEST_F(AnalyticsSessionsTest, TheAppNamesTheScreenInFront) {
  launch();
  take();
  APMAnalytics::setScreenName("Timer", std::nullopt);
  auto events = take();
  const Logged* named = find(events, "_vs");
  ASSERT_TRUE(named);
  EXPECT_EQ(text(*named, "_sn"), "Timer");
  EXPECT_EQ(text(*named, "_sc"), "ViewController");
  EXPECT_EQ(text(*named, "_pc"), "ViewController");

  // The same name again logs nothing; a plain event carries the named screen.
  APMAnalytics::setScreenName("Timer", std::nullopt);
  APMAnalytics::logEventWithName("tapped", {});
  events = take();
  EXPECT_EQ(names(events), std::vector<std::string>{"tapped"});
  EXPECT_EQ(text(events.at(0), "_sn"), "Timer");
}

}  // namespace
