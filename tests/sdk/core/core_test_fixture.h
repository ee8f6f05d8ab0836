// A fresh SDK core for each test: its own main bundle (Info.plist and options file) in the test's
// home, no app configured, no library registered, the logger writing every level.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/value.h"
#include "platform/runtime/class.h"
#include "platform/testing/testing.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_library.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "sdk/utilities/utilities/vul_logger.h"

namespace core_test {

inline constexpr std::string_view kAppID = "1:408716253291:ios:5f8c2a1e9d3b4c70";
inline constexpr std::string_view kBundleID = "com.focus.timer";

inline platform::Value::Dictionary optionsDictionary() {
  return {{"VIDEZU_APP_ID", platform::Value(kAppID)},
          {"BUNDLE_ID", platform::Value(kBundleID)},
          {"API_KEY", "test-api-key"},
          {"VCM_SENDER_ID", "408716253291"},
          {"PROJECT_ID", "focus-timer-test"}};
}

inline void writePlist(const std::filesystem::path& path, const platform::Value& value) {
  auto bytes = platform::PropertyList::write(value, platform::PropertyList::Format::XML);
  ASSERT_TRUE(bytes);
  ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(path, *bytes));
}

struct BundleContents {
  std::string folder = "Focus.app";
  platform::Value::Dictionary info = {{"CFBundleIdentifier", platform::Value(kBundleID)}};
  // None: no options file at all.
  std::optional<platform::Value> options = platform::Value(optionsDictionary());
};

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VULLoggerResetForTesting();
    VDZLoggerResetForTesting();
    VULAppEnvironmentUtil::resetForTesting();
    VDZApp::resetAppsForTesting();
    VULLoggerSetLevel(VULLoggerLevelDebug);
    useBundle(BundleContents{});
  }

  void TearDown() override {
    platform::testing::runUntilIdle();
    VDZApp::resetAppsForTesting();
    for (const auto& name : classes_) platform::runtime::unregisterClass(name);
    platform::Bundle::setMainPath({});
    VULAppEnvironmentUtil::resetForTesting();
    VDZLoggerResetForTesting();
    VULLoggerResetForTesting();
  }

  // Makes the main bundle anew; Info.plist switches and the options file are read afresh.
  void useBundle(const BundleContents& contents) {
    const auto path = platform::Home::path() / "bundles" / contents.folder;
    platform::FileManager::defaultManager().removeItem(path);
    ASSERT_TRUE(platform::FileManager::defaultManager().createDirectory(path));
    writePlist(path / "Info.plist", platform::Value(contents.info));
    if (contents.options) writePlist(path / "VidezuService-Info.plist", *contents.options);
    platform::Bundle::setMainPath(path);
    VDZApp::resetAppsForTesting();
  }

  // Registered with the runtime for this test only.
  std::shared_ptr<const platform::runtime::Class> defineClass(platform::runtime::ClassDefinition definition) {
    classes_.push_back(definition.name);
    return platform::runtime::registerClass(std::move(definition));
  }

  template <class L>
  std::shared_ptr<const platform::runtime::Class> defineLibrary(std::string className) {
    return defineClass(VDZLibrary::classDefinition<L>(std::move(className)));
  }

  std::vector<std::string> logLines() {
    platform::testing::drain(VULLoggerQueue());
    return log_.logs();
  }

  bool logged(std::string_view fragment) {
    for (const auto& line : logLines()) {
      if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

  std::size_t countLogged(std::string_view fragment) {
    std::size_t n = 0;
    for (const auto& line : logLines()) {
      if (line.find(fragment) != std::string::npos) ++n;
    }
    return n;
  }

  void clearLog() {
    platform::testing::drain(VULLoggerQueue());
    log_.clear();
  }

  platform::testing::LogCapture log_;

 private:
  std::vector<std::string> classes_;
};

// Runs `f` and returns the exception it raised (failing the test when none).
template <class F>
std::optional<platform::Exception> raised(F&& f) {
  try {
    f();
  } catch (const platform::Exception& e) {
    return e;
  }
  ADD_FAILURE() << "no exception raised";
  return std::nullopt;
}

}  // namespace core_test
