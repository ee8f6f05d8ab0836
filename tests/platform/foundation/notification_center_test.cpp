#include "platform/foundation/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

class NotificationCenterTest : public ::testing::Test {
 protected:
  NotificationCenter center;
  std::vector<std::string> calls;
  NotificationCenter::Callback record(std::string tag) {
    return [this, tag](const Notification&) { calls.push_back(tag); };
  }
};

TEST_F(NotificationCenterTest, AnObserverWhoseOwnerDiedIsNotCalled) {
  auto owner = std::make_shared<int>(1);
  auto survivor = std::make_shared<int>(2);
  center.addObserver(owner, "ping", nullptr, record("dead"));
  center.addObserver(survivor, "ping", nullptr, record("alive"));
  owner.reset();
  center.post("ping");
  EXPECT_EQ(calls, std::vector<std::string>{"alive"});
}

TEST_F(NotificationCenterTest, TheOwnerIsNotKeptAliveByItsObserver) {
  auto owner = std::make_shared<int>(1);
  std::weak_ptr<int> weak = owner;
  center.addObserver(owner, "ping", nullptr, record("x"));
  center.addObserver(weak, "ping", nullptr, record("y"));
  owner.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(NotificationCenterTest, NameAndSenderFiltering) {
  int senderA = 0, senderB = 0;
  struct Case {
    std::string observedName;
    const void* observedSender;
    std::string postedName;
    const void* postedSender;
    bool delivered;
  } cases[] = {
      {"n", nullptr, "n", nullptr, true},     {"n", nullptr, "n", &senderA, true},
      {"n", &senderA, "n", &senderA, true},   {"n", &senderA, "n", &senderB, false},
      {"n", &senderA, "n", nullptr, false},   {"n", nullptr, "m", nullptr, false},
      {"", nullptr, "anything", &senderB, true}, {"", &senderB, "anything", &senderB, true},
      {"", &senderB, "anything", &senderA, false},
  };
  for (const auto& c : cases) {
    NotificationCenter local;
    auto owner = std::make_shared<int>(0);
    bool delivered = false;
    local.addObserver(owner, c.observedName, c.observedSender, [&](const Notification&) { delivered = true; });
    local.post(c.postedName, c.postedSender);
    EXPECT_EQ(delivered, c.delivered) << c.observedName << " / " << c.postedName;
  }
}

TEST_F(NotificationCenterTest, DeliveryIsInRegistrationOrderWithNameObjectAndUserInfo) {
  auto owner = std::make_shared<int>(0);
  int sender = 0;
  std::vector<Notification> seen;
  for (int i = 0; i < 5; ++i) center.addObserver(owner, "n", nullptr, record(std::to_string(i)));
  auto token = center.addObserver("n", nullptr, nullptr, [&](const Notification& n) { seen.push_back(n); });
  center.post("n", &sender, {{"key", Value(3)}});
  EXPECT_EQ(calls, (std::vector<std::string>{"0", "1", "2", "3", "4"}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "n");
  EXPECT_EQ(seen[0].object, &sender);
  EXPECT_EQ(seen[0].userInfo.at("key"), Value(3));
}

TEST_F(NotificationCenterTest, ObserversChangedDuringAPostDoNotDisturbIt) {
  auto owner = std::make_shared<int>(0);
  auto victimOwner = std::make_shared<int>(0);
  std::shared_ptr<NotificationObserver> selfRemoving;
  selfRemoving = center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    calls.push_back("self");
    selfRemoving.reset();  // releases the token (and this very callback's entry) mid-call
  });
  center.addObserver(owner, "n", nullptr, [&](const Notification&) {
    calls.push_back("remover");
    center.removeObserver(victimOwner.get());
    center.addObserver(owner, "n", nullptr, record("added"));
  });
  center.addObserver(victimOwner, "n", nullptr, record("victim"));
  center.post("n");
  EXPECT_EQ(calls, (std::vector<std::string>{"self", "remover"}));
  calls.clear();
  center.removeObserver(owner.get(), "n");
  center.post("n");
  EXPECT_TRUE(calls.empty());
}

TEST_F(NotificationCenterTest, RemovalByOwnerNarrowsByNameAndSender) {
  auto owner = std::make_shared<int>(0);
  int sender = 0;
  center.addObserver(owner, "a", nullptr, record("a"));
  center.addObserver(owner, "b", nullptr, record("b"));
  center.addObserver(owner, "b", &sender, record("b-sender"));
  center.removeObserver(owner.get(), "b", &sender);
  center.post("b", &sender);
  EXPECT_EQ(calls, std::vector<std::string>{"b"});
  calls.clear();
  center.removeObserver(owner.get(), "b");
  center.post("a");
  center.post("b");
  EXPECT_EQ(calls, std::vector<std::string>{"a"});
}

TEST_F(NotificationCenterTest, ReleasingTheTokenUnregisters) {
  auto token = center.addObserver("n", nullptr, nullptr, record("block"));
  center.post("n");
  token.reset();
  center.post("n");
  EXPECT_EQ(calls, std::vector<std::string>{"block"});
}

TEST_F(NotificationCenterTest, QueueObserversGetTheBlockOnTheirQueue) {
  auto queue = DispatchQueue::serial("observer-queue");
  bool onQueue = false;
  std::string name;
  auto token = center.addObserver("n", nullptr, queue, [&](const Notification& n) {
    onQueue = queue->isCurrent();
    name = n.name;
  });
  center.post("n");
  testing::drain(queue);
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(name, "n");
}

TEST_F(NotificationCenterTest, AQueuedBlockIsDroppedWhenItsObserverGoesFirst) {
  auto queue = DispatchQueue::serial("observer-queue");
  int calledTimes = 0;
  auto token = center.addObserver("n", nullptr, queue, [&](const Notification&) { ++calledTimes; });
  queue->suspend();
  center.post("n");
  token.reset();
  queue->resume();
  testing::drain(queue);
  EXPECT_EQ(calledTimes, 0);
}

TEST_F(NotificationCenterTest, TheSenderCanBeKeptAliveForQueuedDelivery) {
  auto queue = DispatchQueue::serial("observer-queue");
  auto sender = std::make_shared<std::string>("sender");
  std::weak_ptr<std::string> weakSender = sender;
  std::string seen;
  auto token = center.addObserver("n", sender.get(), queue, [&](const Notification& n) {
    seen = *static_cast<const std::string*>(n.object);
  });
  queue->suspend();
  center.post(Notification{"n", nullptr, sender, {}});
  sender.reset();
  EXPECT_FALSE(weakSender.expired());
  queue->resume();
  testing::drain(queue);
  EXPECT_EQ(seen, "sender");
}

TEST_F(NotificationCenterTest, ConcurrentPostsAndRegistrationsAreSafe) {
  std::atomic<int> delivered{0};
  auto owner = std::make_shared<int>(0);
  center.addObserver(owner, "n", nullptr, [&](const Notification&) { ++delivered; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto token = center.addObserver("n", nullptr, nullptr, [](const Notification&) {});
        center.post("n");
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(delivered.load(), 800);
}

}  // namespace
}  // namespace platform
