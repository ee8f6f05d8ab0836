#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/error.h"
#include "platform/foundation/home.h"
#include "platform/motion/motion_driver.h"
#include "platform/motion/motion_manager.h"
#include "platform/testing/testing.h"
#include "platform/ui/application.h"
#include "tests/platform/ui/bare_application.h"

namespace platform {
namespace {

using platform::testing::advance;

// What one handler saw, filled from its operation queue.
struct Recorder {
  std::mutex mutex;
  std::vector<Acceleration> samples;
  int empty = 0;
  int errors = 0;
  bool onOwnQueue = true;
  std::shared_ptr<OperationQueue> queue;

  MotionManager::AccelerometerHandler handler() {
    return [this](const AccelerometerData* data, const Error* error) {
      std::lock_guard lock(mutex);
      onOwnQueue = onOwnQueue && OperationQueue::current() == queue;
      if (error) ++errors;
      if (data) {
        samples.push_back(data->acceleration);
      } else {
        ++empty;
      }
    };
  }
  std::size_t count() {
    queue->waitUntilAllOperationsAreFinished();
    std::lock_guard lock(mutex);
    return samples.size();
  }
};

std::shared_ptr<OperationQueue> serialOperationQueue() {
  auto queue = std::make_shared<OperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  return queue;
}

class MotionTest : public ::testing::Test {
 protected:
  void SetUp() override { MotionDriver::reset(); }
  void TearDown() override { MotionDriver::reset(); }
};

TEST_F(MotionTest, SamplesReachTheHandlerOnItsQueueInOrder) {
  MotionManager manager;
  Recorder r;
  r.queue = serialOperationQueue();
  EXPECT_TRUE(manager.isAccelerometerAvailable());
  EXPECT_FALSE(manager.isAccelerometerActive());
  MotionDriver::pushSample(9, 9, 9);  // before the start: nobody listens
  manager.startAccelerometerUpdates(r.queue, r.handler());
  EXPECT_TRUE(manager.isAccelerometerActive());
  for (int i = 0; i < 50; ++i) MotionDriver::pushSample(i, 0, -1);
  ASSERT_EQ(r.count(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(r.samples[i].x, i);
  EXPECT_TRUE(r.onOwnQueue);
  ASSERT_NE(manager.accelerometerData(), nullptr);
  EXPECT_EQ(manager.accelerometerData()->acceleration.x, 49);

  manager.stopAccelerometerUpdates();
  EXPECT_FALSE(manager.isAccelerometerActive());
  MotionDriver::pushSample(1, 1, 1);
  EXPECT_EQ(r.count(), 50u);
}

TEST_F(MotionTest, RestartReplacesQueueAndHandler) {
  MotionManager manager;
  Recorder first, second;
  first.queue = serialOperationQueue();
  second.queue = serialOperationQueue();
  manager.startAccelerometerUpdates(first.queue, first.handler());
  MotionDriver::pushSample(0, 0, 1);
  manager.startAccelerometerUpdates(second.queue, second.handler());
  MotionDriver::pushSample(0, 0, -1);
  EXPECT_EQ(first.count(), 1u);
  EXPECT_EQ(second.count(), 1u);
  EXPECT_EQ(second.samples[0].z, -1);
  EXPECT_TRUE(second.onOwnQueue);
}

TEST_F(MotionTest, EmptySamplesAndFailuresReachTheHandlerWithoutData) {
  MotionManager manager;
  Recorder r;
  r.queue = serialOperationQueue();
  manager.startAccelerometerUpdates(r.queue, r.handler());
  const Error failure("CMErrorDomain", 109);
  MotionDriver::pushEmpty();
  MotionDriver::pushEmpty(&failure);
  EXPECT_EQ(r.count(), 0u);
  EXPECT_EQ(r.empty, 2);
  EXPECT_EQ(r.errors, 1);
  EXPECT_EQ(manager.accelerometerData(), nullptr);
}

TEST_F(MotionTest, NothingArrivesWithoutAnAccelerometer) {
  MotionDriver::setAccelerometerAvailable(false);
  MotionManager manager;
  Recorder r;
  r.queue = serialOperationQueue();
  EXPECT_FALSE(manager.isAccelerometerAvailable());
  manager.startAccelerometerUpdates(r.queue, r.handler());
  MotionDriver::pushSample(0, 0, 1);
  EXPECT_EQ(r.count(), 0u);
}

TEST_F(MotionTest, HeldPoseRepeatsOnTheClockWithoutDrift) {
  MotionManager manager;
  Recorder r;
  r.queue = serialOperationQueue();
  manager.startAccelerometerUpdates(r.queue, r.handler());
  MotionDriver::setHeldPose(0, 0, 1);  // face down
  EXPECT_EQ(r.count(), 1u);            // at once
  advance(1.0);
  EXPECT_EQ(r.count(), 11u);
  advance(99.0);
  EXPECT_EQ(r.count(), 1001u);

  MotionDriver::setRepeatInterval(0.5);
  advance(1.0);
  EXPECT_EQ(r.count(), 1004u);  // one at the change, then two a second
  ASSERT_TRUE(MotionDriver::heldPose().has_value());
  EXPECT_EQ(MotionDriver::heldPose()->z, 1);

  MotionDriver::clearHeldPose();
  advance(10.0);
  EXPECT_EQ(r.count(), 1004u);
  EXPECT_FALSE(MotionDriver::heldPose().has_value());
}

TEST_F(MotionTest, ManagersThatAreGoneOrStoppedAreSkipped) {
  Recorder r;
  r.queue = serialOperationQueue();
  {
    MotionManager gone;
    gone.startAccelerometerUpdates(r.queue, r.handler());
    MotionManager stopped;
    stopped.startAccelerometerUpdates(r.queue, r.handler());
    stopped.stopAccelerometerUpdates();
    EXPECT_EQ(MotionDriver::activeManagerCount(), 1);
  }
  EXPECT_EQ(MotionDriver::activeManagerCount(), 0);
  MotionDriver::setHeldPose(0, 0, -1);
  advance(1.0);
  EXPECT_EQ(r.count(), 0u);
}

TEST_F(MotionTest, SuspendedAppGetsNoSamples) {
  BareApplication bare;
  auto& app = bare.app;

  MotionManager manager;
  Recorder r;
  r.queue = serialOperationQueue();
  manager.startAccelerometerUpdates(r.queue, r.handler());
  MotionDriver::setHeldPose(0, 0, 1);
  app->enterBackground();
  advance(5.0);
  EXPECT_EQ(r.count(), 1u);  // only the push made while in front
  app->enterForeground();
  advance(1.0);
  EXPECT_EQ(r.count(), 11u);
}

}  // namespace
}  // namespace platform
