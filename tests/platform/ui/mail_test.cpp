#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/trace.h"
#include "platform/mail/mail_compose_view_controller.h"
#include "platform/testing/testing.h"
#include "platform/testing/ui_driver.h"
#include "platform/ui/label.h"
#include "platform/ui/window.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

using platform::testing::advance;
using platform::testing::runUntilIdle;

// A screen that presents the composer and dismisses it when told the result, as apps do.
class Presenter : public ViewController, public MailComposeViewControllerDelegate {
 public:
  void mailComposeControllerDidFinishWithResult(MailComposeViewController& controller, MailComposeResult result,
                                                const Error* error) override {
    results.push_back(result);
    errors.push_back(error ? std::optional<Error>(*error) : std::nullopt);
    controller.dismissViewControllerAnimated(true);
  }
  std::vector<MailComposeResult> results;
  std::vector<std::optional<Error>> errors;
};

class MailTest : public UITest {
 protected:
  void SetUp() override {
    UITest::SetUp();
    MailDriver::reset();
    Trace::clear();
    window_ = std::make_shared<Window>(Rect(0, 0, 375, 667));
    presenter_ = std::make_shared<Presenter>();
    window_->setRootViewController(presenter_);
    window_->makeKeyAndVisible();
    runUntilIdle();
  }
  void TearDown() override {
    MailDriver::reset();
    UITest::TearDown();
  }

  std::shared_ptr<MailComposeViewController> present() {
    auto composer = std::make_shared<MailComposeViewController>();
    composer->setMailComposeDelegate(presenter_);
    composer->setToRecipients({"support@focus.invalid"});
    composer->setSubject("Hello");
    presenter_->presentViewController(composer, true);
    advance(ViewController::kTransitionDuration);
    return composer;
  }

  std::shared_ptr<Window> window_;
  std::shared_ptr<Presenter> presenter_;
};

TEST_F(MailTest, CanSendMailIsAFactOfTheDevice) {
  EXPECT_TRUE(MailComposeViewController::canSendMail());
  MailDriver::setCanSendMail(false);
  EXPECT_FALSE(MailComposeViewController::canSendMail());
}

TEST_F(MailTest, TheUsersChoiceFinishesTheComposerOnceAndTellsTheDelegate) {
  struct Case {
    const char* button;
    bool sendFails;
    MailComposeResult result;
    std::size_t traced;
  };
  const Case cases[] = {
      {"mailSendButton", false, MailComposeResult::Sent, 1},
      {"mailCancelButton", false, MailComposeResult::Cancelled, 0},
      {"mailSendButton", true, MailComposeResult::Failed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    MailDriver::reset();
    Trace::clear();
    presenter_->results.clear();
    presenter_->errors.clear();
    if (c.sendFails) MailDriver::setSendFailure(Error("NSPOSIXErrorDomain", 50));

    auto composer = present();
    ASSERT_EQ(UIDriver::topViewController(), composer);
    auto to = std::dynamic_pointer_cast<Label>(UIDriver::findByAccessibilityIdentifier("mailToLabel"));
    ASSERT_TRUE(to);
    EXPECT_EQ(to->text(), "To: support@focus.invalid");

    auto button = UIDriver::findByAccessibilityIdentifier(c.button);
    ASSERT_TRUE(button);
    ASSERT_TRUE(UIDriver::tap(*button));
    composer->send();  // a second finish is ignored
    composer->cancel();
    advance(ViewController::kTransitionDuration);

    EXPECT_EQ(presenter_->results, std::vector<MailComposeResult>{c.result});
    EXPECT_EQ(UIDriver::topViewController(), presenter_);
    EXPECT_EQ(Trace::eventsOfKind("mail").size(), c.traced);
    EXPECT_EQ(MailDriver::sentMails().size(), c.traced);
    ASSERT_EQ(presenter_->errors.size(), 1u);
    EXPECT_EQ(presenter_->errors[0].has_value(), c.sendFails);
    if (c.sendFails) {
      EXPECT_EQ(presenter_->errors[0]->domain(), kMailComposeErrorDomain);
    }
  }
  ASSERT_EQ(Trace::eventsOfKind("mail").size(), 0u);
}

TEST_F(MailTest, SentMailCarriesRecipientsAndSubject) {
  auto composer = present();
  composer->send();
  auto sent = MailDriver::sentMails();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].to, std::vector<std::string>{"support@focus.invalid"});
  EXPECT_EQ(sent[0].subject, "Hello");
  auto events = Trace::eventsOfKind("mail");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].detail, "sent to support@focus.invalid | Hello");
}

}  // namespace
}  // namespace platform::ui_tests
