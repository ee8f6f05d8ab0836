// The main queue's order when a main-queue block waits on the main thread.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/runloop/clock.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

// Each wait a main-queue block can make on work that finishes on a background thread.
const std::vector<std::pair<std::string, std::function<void()>>>& waits() {
  static const std::vector<std::pair<std::string, std::function<void()>>> kWaits = {
      {"group wait",
       [] {
         auto group = DispatchGroup::make();
         group->async(DispatchQueue::global(), [] {});
         group->wait();
       }},
      {"operation wait",
       [] {
         auto op = BlockOperation::make([] {});
         OperationQueue::make()->addOperation(op);
         op->waitUntilFinished();
       }},
      {"operation queue wait",
       [] {
         auto queue = OperationQueue::make();
         queue->addOperation([] {});
         queue->waitUntilAllOperationsAreFinished();
       }},
  };
  return kWaits;
}

TEST(MainQueueOrder, AWaitingBlockKeepsTheQueueInOrderOnTheRealClock) {
  Clock::setCurrent(std::make_shared<RealClock>());
  for (const auto& [name, wait] : waits()) {
    std::vector<std::string> order;
    DispatchQueue::main()->async([&, wait = wait] {
      order.push_back("A");
      DispatchQueue::main()->async([&] { order.push_back("C"); });
      wait();
      order.push_back("B");
    });
    testing::runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "C"})) << name;
  }
}

TEST(MainQueueOrder, OnTheManualClockAWaitingBlockStillLetsTheMainQueueRun) {
  std::vector<std::string> order;
  DispatchQueue::main()->async([&] {
    order.push_back("A");
    auto group = DispatchGroup::make();
    // Work that the wait depends on, finished on the main queue: only a nested drain runs it.
    group->async(DispatchQueue::main(), [&] { order.push_back("C"); });
    EXPECT_TRUE(group->wait(30));
    order.push_back("B");
  });
  testing::runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"A", "C", "B"}));
}

}  // namespace
}  // namespace platform
