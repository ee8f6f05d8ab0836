// Alerts and action sheets: a title, a message, text fields (alerts only) and actions. Choosing
// an action dismisses the alert; the action's handler runs once the dismissal has finished.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/view_controller.h"

namespace platform {

class TextField;

enum class AlertControllerStyle { ActionSheet = 0, Alert = 1 };
enum class AlertActionStyle { Default = 0, Cancel = 1, Destructive = 2 };

class AlertAction {
 public:
  using Handler = std::function<void(AlertAction&)>;
  static std::shared_ptr<AlertAction> make(std::optional<std::string> title, AlertActionStyle style,
                                           Handler handler = {});
  AlertAction(std::optional<std::string> title, AlertActionStyle style, Handler handler)
      : title_(std::move(title)), style_(style), handler_(std::move(handler)) {}

  const std::optional<std::string>& title() const { return title_; }
  AlertActionStyle style() const { return style_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }

 private:
  friend class AlertController;
  std::optional<std::string> title_;
  AlertActionStyle style_;
  Handler handler_;
  bool enabled_ = true;
};

class AlertController : public ViewController {
 public:
  static std::shared_ptr<AlertController> make(std::optional<std::string> title, std::optional<std::string> message,
                                               AlertControllerStyle style);
  AlertController(std::optional<std::string> title, std::optional<std::string> message, AlertControllerStyle style);
  std::string_view className() const override { return "AlertController"; }

  const std::optional<std::string>& alertTitle() const { return title_; }
  const std::optional<std::string>& message() const { return message_; }
  AlertControllerStyle preferredStyle() const { return style_; }

  // A second action of the cancel style raises NSInternalInconsistencyException.
  void addAction(std::shared_ptr<AlertAction> action);
  const std::vector<std::shared_ptr<AlertAction>>& actions() const { return actions_; }
  // Raises NSInvalidArgumentException on an action sheet.
  void addTextFieldWithConfigurationHandler(const std::function<void(TextField&)>& configure);
  const std::vector<std::shared_ptr<TextField>>& textFields() const { return textFields_; }

  // The user picks an action: false when the alert is not on screen, the action is disabled or
  // not the alert's, or a choice is already under way.
  bool chooseAction(const std::shared_ptr<AlertAction>& action);
  // The first enabled action with that title.
  bool chooseActionWithTitle(std::string_view title);

  // A label for the title and message, the text fields, then one button per action (tagged with
  // the action's index).
  void loadView() override;

 private:
  std::optional<std::string> title_;
  std::optional<std::string> message_;
  AlertControllerStyle style_;
  std::vector<std::shared_ptr<AlertAction>> actions_;
  std::vector<std::shared_ptr<TextField>> textFields_;
  bool choosing_ = false;
};

}  // namespace platform
