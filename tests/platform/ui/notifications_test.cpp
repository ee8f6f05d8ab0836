#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/home.h"
#include "platform/foundation/trace.h"
#include "platform/notifications/notification_driver.h"
#include "platform/notifications/user_notification_center.h"
#include "platform/runloop/run_loop.h"
#include "platform/testing/testing.h"
#include "platform/ui/application.h"
#include "tests/platform/ui/bare_application.h"

namespace platform {
namespace {

using platform::testing::advance;
using platform::testing::drain;
using platform::testing::runUntilIdle;

class NotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NotificationDriver::reset();
    Trace::clear();
    center = UserNotificationCenter::current();
  }
  void TearDown() override {
    RunLoop::main().setSuspended(false);
    NotificationDriver::reset();
  }

  static NotificationRequest breakEnd(double seconds, std::string title = "Break is over", bool repeats = false) {
    NotificationRequest r;
    r.identifier = "alert";
    r.content.title = std::move(title);
    r.content.sound = NotificationSound::soundNamed("bird.mp3");
    r.trigger = TimeIntervalNotificationTrigger{seconds, repeats};
    return r;
  }

  // Adds and waits for the completion; returns its error, if any.
  std::optional<Error> addAndWait(NotificationRequest request) {
    std::optional<Error> result;
    bool called = false;
    bool onMain = true;
    center->add(std::move(request), [&](const Error* error) {
      called = true;
      onMain = DispatchQueue::isMainThread();
      if (error) result = *error;
    });
    drain(center->queue());
    EXPECT_TRUE(called);
    EXPECT_FALSE(onMain);
    return result;
  }

  static std::vector<std::string> shown() {
    std::vector<std::string> details;
    for (const auto& e : Trace::eventsOfKind("notification")) details.push_back(e.detail);
    return details;
  }

  std::shared_ptr<UserNotificationCenter> center;
};

TEST_F(NotificationsTest, TriggersThatCannotFireAreRefusedWithAnError) {
  struct Case {
    const char* what;
    double interval;
    bool repeats;
  } cases[] = {
      {"zero", 0, false},
      {"negative", -5, false},
      {"not a number", std::numeric_limits<double>::quiet_NaN(), false},
      {"never", std::numeric_limits<double>::infinity(), false},
      {"repeating faster than a minute", 30, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto error = addAndWait(breakEnd(c.interval, "t", c.repeats));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain(), kUserNotificationsErrorDomain);
    EXPECT_EQ(error->code(), kUserNotificationsErrorInvalidTrigger);
    EXPECT_FALSE(error->localizedDescription().empty());
    EXPECT_TRUE(center->pendingNotificationRequests().empty());
  }
  // No completion is no crash either.
  center->add(breakEnd(0));
  runUntilIdle();
  EXPECT_TRUE(center->pendingNotificationRequests().empty());
}

TEST_F(NotificationsTest, FiresOnTheClockAndShowsOnlyWhenAllowedAndTheAppIsAway) {
  struct Case {
    AuthorizationStatus status;
    bool foreground;
    bool shows;
  } cases[] = {
      {AuthorizationStatus::Authorized, false, true},
      {AuthorizationStatus::Provisional, false, true},
      {AuthorizationStatus::Denied, false, false},
      {AuthorizationStatus::NotDetermined, false, false},
      {AuthorizationStatus::Authorized, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "status " << static_cast<int>(c.status) << " front " << c.foreground);
    NotificationDriver::reset();
    Trace::clear();
    NotificationDriver::setAuthorizationStatus(c.status);
    NotificationDriver::setAppInForeground(c.foreground);
    // An app in the background has its main loop suspended: delivery must not depend on it.
    RunLoop::main().setSuspended(!c.foreground);

    EXPECT_FALSE(addAndWait(breakEnd(300)).has_value());
    ASSERT_EQ(NotificationDriver::scheduled().size(), 1u);
    EXPECT_EQ(NotificationDriver::scheduled()[0].fireDate, Date::now().addingTimeInterval(300));
    advance(299.5);
    EXPECT_TRUE(shown().empty());
    EXPECT_EQ(center->pendingNotificationRequests().size(), 1u);
    advance(0.5);
    runUntilIdle();
    EXPECT_TRUE(center->pendingNotificationRequests().empty());
    EXPECT_EQ(shown(), c.shows ? std::vector<std::string>{"alert | Break is over |  | bird.mp3"} : std::vector<std::string>{});
    EXPECT_EQ(center->deliveredNotifications().size(), c.shows ? 1u : 0u);
    advance(600);
    EXPECT_EQ(shown().size(), c.shows ? 1u : 0u);
    RunLoop::main().setSuspended(false);
  }
}

TEST_F(NotificationsTest, SameIdentifierReplacesThePendingRequest) {
  NotificationDriver::setAuthorizationStatus(AuthorizationStatus::Authorized);
  NotificationDriver::setAppInForeground(false);
  addAndWait(breakEnd(300, "short"));
  addAndWait(breakEnd(1200, "long"));
  const auto pending = center->pendingNotificationRequests();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].content.title, "long");
  advance(300);
  EXPECT_TRUE(shown().empty());
  advance(900);
  EXPECT_EQ(shown(), std::vector<std::string>{"alert | long |  | bird.mp3"});
}

TEST_F(NotificationsTest, RemovedRequestsNeverFire) {
  NotificationDriver::setAuthorizationStatus(AuthorizationStatus::Authorized);
  NotificationDriver::setAppInForeground(false);
  auto request = [](std::string id, double seconds) {
    NotificationRequest r;
    r.identifier = std::move(id);
    r.content.title = r.identifier;
    r.trigger = TimeIntervalNotificationTrigger{seconds, false};
    return r;
  };
  for (const char* id : {"a", "b", "c"}) addAndWait(request(id, 60));
  center->removePendingNotificationRequests({"b", "unknown"});
  std::vector<std::string> ids;
  for (const auto& r : center->pendingNotificationRequests()) ids.push_back(r.identifier);
  EXPECT_EQ(ids, (std::vector<std::string>{"a", "c"}));
  advance(60);
  EXPECT_EQ(shown(), (std::vector<std::string>{"a | a |  | ", "c | c |  | "}));

  Trace::clear();
  for (const char* id : {"a", "b"}) addAndWait(request(id, 60));
  center->removeAllPendingNotificationRequests();
  EXPECT_TRUE(center->pendingNotificationRequests().empty());
  advance(120);
  EXPECT_TRUE(shown().empty());
}

TEST_F(NotificationsTest, RepeatingRequestFiresEveryIntervalUntilRemoved) {
  NotificationDriver::setAuthorizationStatus(AuthorizationStatus::Authorized);
  NotificationDriver::setAppInForeground(false);
  addAndWait(breakEnd(60, "tick", true));
  advance(180);
  EXPECT_EQ(shown().size(), 3u);
  EXPECT_EQ(center->pendingNotificationRequests().size(), 1u);
  center->removeAllPendingNotificationRequests();
  advance(180);
  EXPECT_EQ(shown().size(), 3u);
}

TEST_F(NotificationsTest, AuthorizationIsAskedOnceAndAnsweredOnTheCentresQueue) {
  struct Case {
    bool answer;
    std::optional<Error> error;
    AuthorizationStatus after;
  } cases[] = {
      {true, std::nullopt, AuthorizationStatus::Authorized},
      {false, std::nullopt, AuthorizationStatus::Denied},
      {false, Error("UNErrorDomain", 1), AuthorizationStatus::Denied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    NotificationDriver::reset();
    NotificationDriver::setAuthorizationAnswer(c.answer, c.error);
    struct Answer {
      bool granted;
      bool hasError;
      bool onMain;
    };
    std::vector<Answer> answers;
    for (int i = 0; i < 2; ++i) {
      center->requestAuthorization(kAuthorizationOptionSound | kAuthorizationOptionAlert,
                                   [&](bool granted, const Error* error) {
                                     answers.push_back({granted, error != nullptr, DispatchQueue::isMainThread()});
                                   });
    }
    drain(center->queue());
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(NotificationDriver::authorizationPromptCount(), 1);
    for (const auto& a : answers) {
      EXPECT_EQ(a.granted, c.answer);
      EXPECT_FALSE(a.onMain);
    }
    // Only the prompt itself can fail; the second answer comes from the decided status.
    EXPECT_EQ(answers[0].hasError, c.error.has_value());
    EXPECT_FALSE(answers[1].hasError);
    EXPECT_EQ(center->notificationSettings().authorizationStatus, c.after);
  }
}

TEST_F(NotificationsTest, SettingsAreHandedOverOnTheCentresQueue) {
  NotificationDriver::setAuthorizationStatus(AuthorizationStatus::Denied);
  std::optional<NotificationSettings> settings;
  bool onMain = true;
  center->getNotificationSettings([&](const NotificationSettings& s) {
    settings = s;
    onMain = DispatchQueue::isMainThread();
  });
  drain(center->queue());
  ASSERT_TRUE(settings.has_value());
  EXPECT_EQ(settings->authorizationStatus, AuthorizationStatus::Denied);
  EXPECT_FALSE(settings->alertEnabled);
  EXPECT_FALSE(onMain);
}

struct PresentingDelegate : UserNotificationCenterDelegate {
  explicit PresentingDelegate(unsigned options) : options(options) {}
  void willPresentNotification(UserNotificationCenter&, const UserNotification& n,
                               std::function<void(unsigned)> completion) override {
    asked.push_back(n.request.identifier);
    onMain = DispatchQueue::isMainThread();
    completion(options);
  }
  unsigned options;
  std::vector<std::string> asked;
  bool onMain = false;
};

TEST_F(NotificationsTest, InFrontTheDelegateDecides) {
  struct Case {
    unsigned options;
    bool shows;
  } cases[] = {{kPresentationOptionBanner | kPresentationOptionSound, true}, {kPresentationOptionNone, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    NotificationDriver::reset();
    Trace::clear();
    NotificationDriver::setAuthorizationStatus(AuthorizationStatus::Authorized);
    auto delegate = std::make_shared<PresentingDelegate>(c.options);
    center->setDelegate(delegate);
    addAndWait(breakEnd(10));
    advance(10);
    runUntilIdle();
    EXPECT_EQ(delegate->asked, std::vector<std::string>{"alert"});
    EXPECT_TRUE(delegate->onMain);
    EXPECT_EQ(shown().size(), c.shows ? 1u : 0u);
  }
}

TEST_F(NotificationsTest, TheRunningApplicationsStateDecidesWhetherItIsInFront) {
  BareApplication bare;
  auto& app = bare.app;
  NotificationDriver::setAuthorizationStatus(AuthorizationStatus::Authorized);
  NotificationDriver::setAppInForeground(true);  // overruled by the application below

  app->enterBackground();
  addAndWait(breakEnd(300, "away"));
  advance(300);
  app->enterForeground();
  addAndWait(breakEnd(300, "back"));
  advance(300);
  runUntilIdle();
  EXPECT_EQ(shown(), std::vector<std::string>{"alert | away |  | bird.mp3"});
}

}  // namespace
}  // namespace platform
