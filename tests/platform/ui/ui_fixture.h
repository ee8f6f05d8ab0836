// A fresh device, screen and no application around each test, and a recorder of notifications.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/notification_center.h"
#include "platform/testing/testing.h"
#include "platform/testing/ui_driver.h"

namespace platform::ui_tests {

class UITest : public ::testing::Test {
 protected:
  void SetUp() override { UIDriver::reset(); }
  void TearDown() override {
    platform::testing::runUntilIdle();
    UIDriver::reset();
  }
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
