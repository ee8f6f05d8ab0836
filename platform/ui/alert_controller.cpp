#include "platform/ui/alert_controller.h"

#include <algorithm>

#include "platform/foundation/exception.h"
#include "platform/ui/button.h"
#include "platform/ui/label.h"
#include "platform/ui/screen.h"
#include "platform/ui/text_field.h"

namespace platform {

namespace {
constexpr double kRowHeight = 44;
constexpr double kAlertWidth = 270;
}  // namespace

std::shared_ptr<AlertAction> AlertAction::make(std::optional<std::string> title, AlertActionStyle style,
                                               Handler handler) {
  return std::make_shared<AlertAction>(std::move(title), style, std::move(handler));
}

std::shared_ptr<AlertController> AlertController::make(std::optional<std::string> title,
                                                       std::optional<std::string> message, AlertControllerStyle style) {
  return std::make_shared<AlertController>(std::move(title), std::move(message), style);
}

AlertController::AlertController(std::optional<std::string> title, std::optional<std::string> message,
                                 AlertControllerStyle style)
    : title_(std::move(title)), message_(std::move(message)), style_(style) {
  setTitle(title_.value_or(""));
  // The screen below stays in view behind the alert.
  setModalPresentationStyle(ModalPresentationStyle::OverFullScreen);
}

void AlertController::addAction(std::shared_ptr<AlertAction> action) {
  if (!action) return;
  if (action->style() == AlertActionStyle::Cancel && std::any_of(actions_.begin(), actions_.end(), [](const auto& a) {
        return a->style() == AlertActionStyle::Cancel;
      })) {
    throw Exception(std::string(kInternalInconsistencyException),
                    "An alert controller can only have one action of the cancel style");
  }
  actions_.push_back(std::move(action));
}

void AlertController::addTextFieldWithConfigurationHandler(const std::function<void(TextField&)>& configure) {
  if (style_ != AlertControllerStyle::Alert) {
    throw Exception(std::string(kInvalidArgumentException),
                    "Text fields can only be added to an alert controller of the alert style");
  }
  auto field = std::make_shared<TextField>();
  if (configure) configure(*field);
  textFields_.push_back(std::move(field));
}

bool AlertController::chooseAction(const std::shared_ptr<AlertAction>& action) {
  if (choosing_ || !action || !action->isEnabled()) return false;
  if (std::find(actions_.begin(), actions_.end(), action) == actions_.end()) return false;
  if (!presentingViewController() || isBeingPresented() || isBeingDismissed()) return false;
  choosing_ = true;
  auto self = std::static_pointer_cast<AlertController>(shared_from_this());
  dismissViewControllerAnimated(true, [self, action] {
    if (action->handler_) action->handler_(*action);
  });
  return true;
}

bool AlertController::chooseActionWithTitle(std::string_view title) {
  for (const auto& a : actions_) {
    if (a->title() && *a->title() == title && a->isEnabled()) return chooseAction(a);
  }
  return false;
}

void AlertController::loadView() {
  Rect screen = Screen::main().bounds();
  auto root = std::make_shared<View>(screen);
  root->setBackgroundColor(Color::white(0, 0.4));
  root->setAccessibilityIdentifier("alert.dimming");

  // Cancel goes last in an action sheet, as the platform orders it.
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < actions_.size(); ++i) order.push_back(i);
  if (style_ == AlertControllerStyle::ActionSheet) {
    std::stable_partition(order.begin(), order.end(),
                          [&](std::size_t i) { return actions_[i]->style() != AlertActionStyle::Cancel; });
  }
  double width = style_ == AlertControllerStyle::Alert ? kAlertWidth : screen.width() - 16;
  double rows = static_cast<double>(actions_.size() + textFields_.size()) + ((title_ || message_) ? 1 : 0);
  double height = rows * kRowHeight;
  double x = (screen.width() - width) / 2;
  double y = style_ == AlertControllerStyle::Alert ? (screen.height() - height) / 2 : screen.height() - height - 8;
  auto panel = std::make_shared<View>(Rect(x, y, width, height));
  panel->setBackgroundColor(Color::white(0.97, 1));
  panel->setAccessibilityIdentifier("alert.panel");
  root->addSubview(panel);

  double row = 0;
  if (title_ || message_) {
    auto label = std::make_shared<Label>(Rect(0, 0, width, kRowHeight));
    std::string text = title_.value_or("");
    if (message_) text += (text.empty() ? "" : "\n") + *message_;
    label->setText(text);
    label->setNumberOfLines(0);
    label->setTextAlignment(TextAlignment::Center);
    label->setAccessibilityIdentifier("alert.title");
    panel->addSubview(label);
    row += kRowHeight;
  }
  for (const auto& field : textFields_) {
    field->setFrame(Rect(8, row + 6, width - 16, kRowHeight - 12));
    panel->addSubview(field);
    row += kRowHeight;
  }
  std::weak_ptr<AlertController> weakSelf = std::static_pointer_cast<AlertController>(shared_from_this());
  for (std::size_t i : order) {
    const auto& action = actions_[i];
    auto button = Button::buttonWithType(ButtonType::System);
    button->setFrame(Rect(0, row, width, kRowHeight));
    button->setTitle(action->title(), kControlStateNormal);
    if (action->style() == AlertActionStyle::Destructive) button->setTitleColor(Color::redColor(), kControlStateNormal);
    button->setTag(static_cast<std::int64_t>(i));
    button->setEnabled(action->isEnabled());
    std::weak_ptr<AlertAction> weakAction = action;
    button->addTarget(
        this,
        [weakSelf, weakAction](Control&) {
          auto self = weakSelf.lock();
          auto a = weakAction.lock();
          if (self && a) self->chooseAction(a);
        },
        kControlEventTouchUpInside);
    panel->addSubview(button);
    row += kRowHeight;
  }
  setView(root);
}

}  // namespace platform
