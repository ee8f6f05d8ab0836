#include "platform/ui/alert_controller.h"

#include <gtest/gtest.h>

#include "platform/foundation/exception.h"
#include "platform/ui/button.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

class AlertTest : public WindowedUITest {
 protected:
  void SetUp() override {
    WindowedUITest::SetUp();
    platform::testing::runUntilIdle();
  }

  // The reset sheet of the focus screen: three actions of the three styles.
  std::shared_ptr<AlertController> makeSheet(std::vector<std::string>& chosen) {
    auto sheet = AlertController::make(std::nullopt, std::nullopt, AlertControllerStyle::ActionSheet);
    sheet->addAction(AlertAction::make("Reset current", AlertActionStyle::Default,
                                       [&](AlertAction& a) { chosen.push_back(*a.title()); }));
    sheet->addAction(AlertAction::make("Reset all", AlertActionStyle::Destructive,
                                       [&](AlertAction& a) { chosen.push_back(*a.title()); }));
    sheet->addAction(AlertAction::make("Cancel", AlertActionStyle::Cancel));
    return sheet;
  }

};

TEST_F(AlertTest, ChoosingAnActionDismissesTheAlertThenRunsItsHandler) {
  struct Case {
    std::string title;
    std::vector<std::string> chosen;
  };
  for (const Case& c :
       {Case{"Reset current", {"Reset current"}}, Case{"Reset all", {"Reset all"}}, Case{"Cancel", {}}}) {
    SCOPED_TRACE(c.title);
    std::vector<std::string> chosen;
    root_->presentViewController(makeSheet(chosen), true);
    EXPECT_FALSE(UIDriver::chooseAlertAction(c.title));  // still coming up
    platform::testing::advance(ViewController::kTransitionDuration);
    ASSERT_TRUE(UIDriver::presentedAlert());
    EXPECT_TRUE(UIDriver::chooseAlertAction(c.title));
    EXPECT_FALSE(UIDriver::chooseAlertAction(c.title));  // one choice per alert
    EXPECT_TRUE(chosen.empty());
    platform::testing::advance(ViewController::kTransitionDuration);
    EXPECT_EQ(chosen, c.chosen);
    EXPECT_EQ(root_->presentedViewController(), nullptr);
  }
}

TEST_F(AlertTest, ActionButtonsAreReachedByTouch) {
  std::vector<std::string> chosen;
  root_->presentViewController(makeSheet(chosen), false);
  platform::testing::runUntilIdle();
  auto button = UIDriver::findByText("Reset all");
  ASSERT_TRUE(button);
  EXPECT_TRUE(UIDriver::tap(*button));
  platform::testing::advance(ViewController::kTransitionDuration);
  EXPECT_EQ(chosen, std::vector<std::string>{"Reset all"});
}

TEST_F(AlertTest, ActionsOutsideTheAlertOrDisabledAreRefused) {
  std::vector<std::string> chosen;
  auto sheet = makeSheet(chosen);
  auto stranger =
      AlertAction::make("Stranger", AlertActionStyle::Default, [&](AlertAction&) { chosen.push_back("x"); });
  EXPECT_FALSE(sheet->chooseAction(sheet->actions()[0]));  // not on screen
  root_->presentViewController(sheet, false);
  platform::testing::runUntilIdle();
  EXPECT_FALSE(sheet->chooseAction(stranger));
  sheet->actions()[0]->setEnabled(false);
  EXPECT_FALSE(UIDriver::chooseAlertAction("Reset current"));
  EXPECT_FALSE(UIDriver::chooseAlertAction("No such action"));
  EXPECT_TRUE(chosen.empty());
}

TEST_F(AlertTest, MisuseRaises) {
  auto sheet = AlertController::make("t", "m", AlertControllerStyle::ActionSheet);
  sheet->addAction(AlertAction::make("Cancel", AlertActionStyle::Cancel));
  EXPECT_THROW(sheet->addAction(AlertAction::make("Cancel again", AlertActionStyle::Cancel)), Exception);
  EXPECT_THROW(sheet->addTextFieldWithConfigurationHandler({}), Exception);
}

TEST_F(AlertTest, TextFieldsAreConfiguredAndReadAfterTheChoice) {
  auto alert = AlertController::make("Title", std::nullopt, AlertControllerStyle::Alert);
  alert->addTextFieldWithConfigurationHandler([](TextField& f) {
    f.setText("draft");
    f.setReturnKeyType(ReturnKeyType::Done);
  });
  std::string applied;
  std::weak_ptr<AlertController> weak = alert;
  alert->addAction(AlertAction::make("ok", AlertActionStyle::Default, [&, weak](AlertAction&) {
    if (auto a = weak.lock()) applied = a->textFields()[0]->text();
  }));
  ASSERT_EQ(alert->textFields().size(), 1u);
  EXPECT_EQ(alert->textFields()[0]->returnKeyType(), ReturnKeyType::Done);
  root_->presentViewController(alert, false);
  alert.reset();
  platform::testing::runUntilIdle();
  auto field = UIDriver::presentedAlert()->textFields()[0];
  EXPECT_TRUE(UIDriver::typeText(*field, " more"));
  EXPECT_TRUE(UIDriver::chooseAlertAction("ok"));
  platform::testing::advance(ViewController::kTransitionDuration);
  EXPECT_EQ(applied, "draft more");
}

}  // namespace
}  // namespace platform::ui_tests
