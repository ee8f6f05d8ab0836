// A test fixture that launches the focus timer as the platform does (AppDelegate through the
// application's launch, the main storyboard's focus screen loaded) on the test's temporary home
// and virtual time, with fresh sensors, media, notifications and trace. Header-only, so that any
// test target linking focus_app can use it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/alert_center.h"
#include "app/custom_photo_album.h"
#include "app/main_entry.h"
#include "app/setting_keys.h"
#include "app/sound_center.h"
#include "app/view_controller.h"
#include "platform/foundation/trace.h"
#include "platform/foundation/user_defaults.h"
#include "platform/media/media_driver.h"
#include "platform/motion/motion_driver.h"
#include "platform/mail/mail_compose_view_controller.h"
#include "platform/notifications/notification_driver.h"
#include "platform/photos/photos_driver.h"
#include "platform/testing/testing.h"
#include "platform/testing/ui_driver.h"
#include "platform/ui/application.h"
#include "platform/ui/button.h"
#include "platform/ui/device.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/screen.h"
#include "platform/ui/window.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_consent_settings_util.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_screen_view_reporter.h"
#include "sdk/utilities/utilities/vul_app_delegate_swizzler.h"
#include "sdk/core/core/vdz_app.h"

class FocusAppTest : public ::testing::Test {
 protected:
  struct Launch {
    std::string model = "iPhone";
    platform::Size screen{375, 667};
    // The intro of the very first launch is skipped unless asked for.
    bool firstLaunch = false;
    // Stored before launch: they win over the registered defaults.
    platform::Value::Dictionary settings;

    Launch& onDevice(std::string deviceModel) {
      model = std::move(deviceModel);
      return *this;
    }
    Launch& onScreen(double width, double height) {
      screen = platform::Size{width, height};
      return *this;
    }
    Launch& asFirstLaunch() {
      firstLaunch = true;
      return *this;
    }
    Launch& with(std::string_view key, platform::Value value) {
      settings[std::string(key)] = std::move(value);
      return *this;
    }
  };

  static void resetWorld() {
    platform::UIDriver::reset();
    platform::MediaDriver::reset();
    platform::MotionDriver::reset();
    platform::NotificationDriver::reset();
    platform::PhotosDriver::reset();
    platform::MailDriver::reset();
    platform::Trace::clear();
    CustomPhotoAlbum::resetSharedForTesting();
    SoundCenter::resetSharedForTesting();
    AlertCenter::resetSharedForTesting();
    VDZApp::resetAppsForTesting();
    // Analytics starts once per process; each test's launch starts it anew.
    APMAnalytics::resetForTesting();
    APMMeasurement::resetSharedInstanceForTesting();
    APMIdentity::resetSharedInstanceForTesting();
    APMConsentSettingsUtil::resetForTesting();
    APMScreenViewReporter::sharedInstance().resetForTesting();
    // The engine proxies each launch's delegate, once per launch.
    VULAppDelegateSwizzler::resetForTesting();
  }

  void SetUp() override { resetWorld(); }

  void TearDown() override {
    platform::testing::runUntilIdle();
    app_.reset();
    resetWorld();
    platform::testing::runUntilIdle();
  }

  std::shared_ptr<ViewController> launch(const Launch& options) {
    platform::Device::current().setModel(options.model);
    platform::Screen::main().setSize(options.screen);
    auto defaults = platform::UserDefaults::standard();
    if (!options.firstLaunch) defaults->setBool(false, kIsFirstLaunchKey);
    for (const auto& [key, value] : options.settings) defaults->setObject(value, key);
    app_ = launchFocusApp();
    platform::testing::runUntilIdle();
    return focusScreen();
  }
  std::shared_ptr<ViewController> launch() { return launch(Launch{}); }

  std::shared_ptr<ViewController> focusScreen() const {
    auto window = platform::UIDriver::keyWindow();
    return window ? std::dynamic_pointer_cast<ViewController>(window->rootViewController()) : nullptr;
  }

  template <class T = platform::ViewController>
  std::shared_ptr<T> topScreen() const {
    return std::dynamic_pointer_cast<T>(platform::UIDriver::topViewController());
  }

  static void advance(double seconds) { platform::testing::advance(seconds); }
  static void settle() { platform::testing::runUntilIdle(); }

  // The phone laid face down with its sensor covered: the first sample switches proximity
  // monitoring on, the next one finds the sensor covered.
  static void layFaceDown() {
    platform::UIDriver::setProximityCovered(true);
    platform::MotionDriver::pushSample(0, 0, 1);
    settle();
    platform::MotionDriver::pushSample(0, 0, 1);
    settle();
  }
  static void turnFaceUp() {
    platform::MotionDriver::pushSample(0, 0, -1);
    settle();
    platform::UIDriver::setProximityCovered(false);
    settle();
  }

  static std::vector<platform::TraceEvent> trace(std::string_view kind) {
    return platform::Trace::eventsOfKind(kind);
  }
  static std::size_t traceCount(std::string_view kind, std::string_view detail = {}) {
    auto events = platform::Trace::eventsOfKind(kind);
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [detail](const auto& e) {
      return detail.empty() || e.detail == detail;
    }));
  }

  static std::shared_ptr<platform::UserDefaults> defaults() { return platform::UserDefaults::standard(); }

  std::shared_ptr<platform::Application> app_;
};
