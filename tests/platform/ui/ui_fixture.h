// A fresh device, screen and no application around each test, and a recorder of notifications.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/notification_center.h"
#include "platform/testing/testing.h"
#include "platform/testing/ui_driver.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace platform::ui_tests {

class UITest : public ::testing::Test {
 protected:
  void SetUp() override { UIDriver::reset(); }
  void TearDown() override {
    platform::testing::runUntilIdle();
    UIDriver::reset();
  }
};

// A key window of the default phone size showing a plain screen.
class WindowedUITest : public UITest {
 protected:
  void SetUp() override {
    UITest::SetUp();
    window_ = std::make_shared<Window>(Rect(0, 0, 375, 667));
    root_ = std::make_shared<ViewController>();
    window_->setRootViewController(root_);
    window_->makeKeyAndVisible();
  }
  std::shared_ptr<Window> window_;
  std::shared_ptr<ViewController> root_;
};

// Records the names of the notifications it listens to, in order.
class NotificationRecorder {
 public:
  explicit NotificationRecorder(const std::vector<std::string_view>& names) {
    for (auto name : names) {
      observers_.push_back(NotificationCenter::defaultCenter().addObserver(
          std::string(name), nullptr, nullptr, [this](const Notification& n) { names_.push_back(n.name); }));
    }
  }
  const std::vector<std::string>& names() const { return names_; }
  void clear() { names_.clear(); }

 private:
  std::vector<std::string> names_;
  std::vector<std::shared_ptr<NotificationObserver>> observers_;
};

}  // namespace platform::ui_tests
