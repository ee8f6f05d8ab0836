// Linked as an object into every test executable, beside the framework's own main: a library
// member nobody refers to would be dropped, and its environment never registered.
#include <gtest/gtest.h>

#include <memory>

#include "platform/foundation/user_defaults.h"
#include "platform/testing/testing.h"

namespace {

// Each test starts on virtual time in a home of its own, with queues idle.
class FreshWorld : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    home_ = std::make_unique<platform::testing::TemporaryHome>();
    platform::testing::useManualClock();
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    platform::testing::runUntilIdle();
    // A quit's end of the process does not outlast its test: the process goes on.
    platform::UserDefaults::endWithin(std::nullopt);
    home_.reset();
  }
  std::unique_ptr<platform::testing::TemporaryHome> home_;
};

// Runs on the thread that runs the tests, before the first one.
class TestWorld : public ::testing::Environment {
  void SetUp() override {
    platform::testing::becomeMainThread();
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshWorld);
  }
};

[[maybe_unused]] ::testing::Environment* const registered = ::testing::AddGlobalTestEnvironment(new TestWorld);

}  // namespace
