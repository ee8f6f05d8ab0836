#include <gtest/gtest.h>

#include <memory>

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
    home_.reset();
  }
  std::unique_ptr<platform::testing::TemporaryHome> home_;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  platform::testing::becomeMainThread();
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshWorld);
  return RUN_ALL_TESTS();
}
