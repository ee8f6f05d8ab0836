// The words that set up the phone's permissions and mail, and what they do to the platform.
#include "tools/terminal/permissions.h"

#include <gtest/gtest.h>

#include "platform/mail/mail_compose_view_controller.h"
#include "platform/notifications/notification_driver.h"
#include "platform/notifications/user_notification_center.h"
#include "platform/photos/photo_library.h"
#include "platform/photos/photos_driver.h"
#include "platform/testing/testing.h"
#include "tools/terminal/options.h"

namespace terminal {
namespace {

using D = Decision;

TEST(ParsePermissions, ReadStatusesAndAnswers) {
  struct PhotoCase {
    const char* text;
    std::optional<PhotoPermission> expected;
  } photoCases[] = {
      {"allow", PhotoPermission{D::Allow, D::Allow}},
      {"limited", PhotoPermission{D::Limited, D::Allow}},
      {"deny", PhotoPermission{D::Deny, D::Allow}},
      {"restricted", PhotoPermission{D::Restricted, D::Allow}},
      {"ask", PhotoPermission{D::Ask, D::Allow}},
      {"ask deny", PhotoPermission{D::Ask, D::Deny}},
      {"ask:limited", PhotoPermission{D::Ask, D::Limited}},
      {"  ask   allow ", PhotoPermission{D::Ask, D::Allow}},
      // A device policy can answer the request too.
      {"ask restricted", PhotoPermission{D::Ask, D::Restricted}},
      {"ask ask", std::nullopt},
      {"ask provisional", std::nullopt},
      {"ask deny allow", std::nullopt},
      {"deny allow", std::nullopt},
      {"", std::nullopt},
      {"yes", std::nullopt},
      {"Allow", std::nullopt},
  };
  for (const auto& c : photoCases) {
    std::string error;
    EXPECT_EQ(parsePhotoPermission(c.text, error), c.expected) << c.text;
    EXPECT_EQ(error.empty(), c.expected.has_value()) << c.text;
  }

  struct NotificationCase {
    const char* text;
    std::optional<NotificationPermission> expected;
  } notificationCases[] = {
      {"allow", NotificationPermission{D::Allow, D::Allow}},
      {"deny", NotificationPermission{D::Deny, D::Allow}},
      {"unset", NotificationPermission{D::Ask, D::Allow}},
      {"ask", NotificationPermission{D::Ask, D::Allow}},
      {"ask:deny", NotificationPermission{D::Ask, D::Deny}},
      {"ask error", NotificationPermission{D::Ask, D::Error}},
      {"provisional", NotificationPermission{D::Provisional, D::Allow}},
      {"ephemeral", NotificationPermission{D::Ephemeral, D::Allow}},
      // Notifications know no limited access and no restriction; a request is never provisional.
      {"ask provisional", std::nullopt},
      {"error", std::nullopt},
      {"limited", std::nullopt},
      {"ask limited", std::nullopt},
      {"restricted", std::nullopt},
      {"unset deny", std::nullopt},
  };
  for (const auto& c : notificationCases) {
    std::string error;
    EXPECT_EQ(parseNotificationPermission(c.text, error), c.expected) << c.text;
  }

  const std::pair<const char*, std::optional<MailSetup>> mailCases[] = {
      {"yes", MailSetup::Yes}, {"no", MailSetup::No},    {"fail", MailSetup::Failing},
      {"maybe", std::nullopt}, {"yes no", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& [text, expected] : mailCases) {
    std::string error;
    EXPECT_EQ(parseMailSetup(text, error), expected) << text;
  }
}

TEST(ParseOptions, TakesThePhonesSetUp) {
  std::string error;
  auto options = parseOptions({"--photos", "ask:deny", "--notifications=deny", "--mail", "no"}, error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->photos, (PhotoPermission{D::Ask, D::Deny}));
  EXPECT_EQ(options->notifications, (NotificationPermission{D::Deny, D::Allow}));
  EXPECT_EQ(options->mail, MailSetup::No);

  auto plain = parseOptions({}, error);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->photos || plain->notifications || plain->mail);

  const std::vector<std::vector<std::string>> bad = {
      {"--photos"}, {"--photos", "sometimes"}, {"--notifications", "limited"}, {"--mail", "perhaps"}};
  for (const auto& args : bad) {
    EXPECT_FALSE(parseOptions(args, error)) << args.back();
    EXPECT_NE(error.find(args.front()), std::string::npos) << error;
  }
}

class ApplyPermissions : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override {
    platform::testing::runUntilIdle();
    reset();
  }
  static void reset() {
    platform::PhotosDriver::reset();
    platform::NotificationDriver::reset();
    platform::MailDriver::reset();
  }
};

TEST_F(ApplyPermissions, ThePhotoLibraryHasTheStatusAndAsksForTheAnswer) {
  using S = platform::PhotoAuthorizationStatus;
  struct Case {
    PhotoPermission permission;
    S status;    // read before any request
    S answered;  // what a request gets
    int prompts;
  } cases[] = {
      {{D::Ask, D::Allow}, S::NotDetermined, S::Authorized, 1},
      {{D::Ask, D::Limited}, S::NotDetermined, S::Limited, 1},
      {{D::Ask, D::Deny}, S::NotDetermined, S::Denied, 1},
      {{D::Ask, D::Restricted}, S::NotDetermined, S::Restricted, 1},
      {{D::Allow, D::Deny}, S::Authorized, S::Authorized, 0},
      {{D::Limited, D::Allow}, S::Limited, S::Limited, 0},
      {{D::Deny, D::Allow}, S::Denied, S::Denied, 0},
      {{D::Restricted, D::Allow}, S::Restricted, S::Restricted, 0},
  };
  for (const auto& c : cases) {
    reset();
    applyPhotoPermission(c.permission);
    const auto label =
        std::string(decisionName(c.permission.status)) + "/" + std::string(decisionName(c.permission.answer));
    EXPECT_EQ(platform::PhotoLibrary::authorizationStatusForAccessLevel(platform::PhotoAccessLevel::ReadWrite),
              c.status)
        << label;
    auto answered = std::make_shared<std::optional<S>>();
    platform::PhotoLibrary::requestAuthorizationForAccessLevel(platform::PhotoAccessLevel::ReadWrite,
                                                               [answered](S status) { *answered = status; });
    platform::testing::drain(platform::PhotoLibrary::sharedPhotoLibrary()->queue());
    EXPECT_EQ(*answered, c.answered) << label;
    EXPECT_EQ(platform::PhotosDriver::authorizationPromptCount(), c.prompts) << label;
  }
}

TEST_F(ApplyPermissions, NotificationsHaveTheStatusAndAskForTheAnswer) {
  using S = platform::AuthorizationStatus;
  struct Case {
    NotificationPermission permission;
    S answered;
    int prompts;
    bool granted;
    bool withError;
  } cases[] = {
      {{D::Ask, D::Allow}, S::Authorized, 1, true, false},
      {{D::Ask, D::Deny}, S::Denied, 1, false, false},
      {{D::Ask, D::Error}, S::Denied, 1, false, true},
      {{D::Allow, D::Deny}, S::Authorized, 0, true, false},
      {{D::Deny, D::Allow}, S::Denied, 0, false, false},
      {{D::Provisional, D::Allow}, S::Provisional, 0, true, false},
      {{D::Ephemeral, D::Allow}, S::Ephemeral, 0, true, false},
  };
  for (const auto& c : cases) {
    reset();
    applyNotificationPermission(c.permission);
    const auto label =
        std::string(decisionName(c.permission.status)) + "/" + std::string(decisionName(c.permission.answer));
    auto center = platform::UserNotificationCenter::current();
    auto granted = std::make_shared<std::optional<bool>>();
    auto failed = std::make_shared<bool>(false);
    center->requestAuthorization(platform::kAuthorizationOptionAlert,
                                 [granted, failed](bool yes, const platform::Error* error) {
                                   *granted = yes;
                                   *failed = error != nullptr;
                                 });
    platform::testing::runUntilIdle();
    EXPECT_EQ(center->notificationSettings().authorizationStatus, c.answered) << label;
    EXPECT_EQ(platform::NotificationDriver::authorizationPromptCount(), c.prompts) << label;
    EXPECT_EQ(*granted, c.granted) << label;
    EXPECT_EQ(*failed, c.withError) << label;
  }
}

TEST_F(ApplyPermissions, MailCanBeSetUpAndCanFail) {
  struct Case {
    MailSetup setup;
    bool canSend;
    bool sendFails;
  } cases[] = {{MailSetup::Yes, true, false}, {MailSetup::No, false, false}, {MailSetup::Failing, true, true}};
  for (const auto& c : cases) {
    reset();
    // A failure set up earlier must not outlive a switch back to working mail.
    applyMailSetup(MailSetup::Failing);
    applyMailSetup(c.setup);
    EXPECT_EQ(platform::MailComposeViewController::canSendMail(), c.canSend) << mailSetupName(c.setup);
    auto composer = std::make_shared<platform::MailComposeViewController>();
    composer->setToRecipients({"someone@example.invalid"});
    composer->send();
    EXPECT_EQ(platform::MailDriver::sentMails().empty(), c.sendFails) << mailSetupName(c.setup);
  }
}

}  // namespace
}  // namespace terminal
