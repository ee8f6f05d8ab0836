#include "sdk/utilities/promises/vbl_promise.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/testing/testing.h"

namespace {

using platform::DispatchQueue;
using platform::Error;
using platform::testing::runUntilIdle;

Error testError(std::int64_t code = 7) { return Error("test.domain", code); }

TEST(VBLPromiseCore, ResolutionSetsStateValueAndError) {
  struct Case {
    const char* name;
    std::function<VBLPromise<int>::Ptr()> make;
    bool fulfilled;
    std::optional<int> value;
    std::optional<std::int64_t> errorCode;
  };
  const Case cases[] = {
      {"pending then fulfilled",
       [] {
         auto p = VBLPromise<int>::pendingPromise();
         p->fulfill(4);
         return p;
       },
       true, 4, std::nullopt},
      {"pending then rejected",
       [] {
         auto p = VBLPromise<int>::pendingPromise();
         p->reject(testError(3));
         return p;
       },
       false, std::nullopt, 3},
      {"resolved with a value", [] { return VBLPromise<int>::resolvedWith(9); }, true, 9, std::nullopt},
      {"resolved with an error", [] { return VBLPromise<int>::resolvedWith(testError(5)); }, false, std::nullopt, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = c.make();
    EXPECT_FALSE(p->isPending());
    EXPECT_EQ(p->isFulfilled(), c.fulfilled);
    EXPECT_EQ(p->isRejected(), !c.fulfilled);
    EXPECT_EQ(p->value(), c.value);
    EXPECT_EQ(p->error() ? std::optional(p->error()->code()) : std::nullopt, c.errorCode);
  }
}

TEST(VBLPromiseCore, OnlyTheFirstResolutionCounts) {
  auto p = VBLPromise<std::string>::pendingPromise();
  int fulfilled = 0, rejected = 0;
  p->observeOnQueue(
      DispatchQueue::main(), [&](const std::string&) { ++fulfilled; }, [&](const Error&) { ++rejected; });
  p->fulfill("first");
  p->fulfill("second");
  p->reject(testError());
  runUntilIdle();
  EXPECT_EQ(p->value(), "first");
  EXPECT_FALSE(p->error());
  EXPECT_EQ(fulfilled, 1);
  EXPECT_EQ(rejected, 0);
}

TEST(VBLPromiseCore, CallbacksNeverRunInsideTheRegisteringOrResolvingCall) {
  auto resolved = VBLPromise<int>::resolvedWith(1);
  bool ran = false;
  resolved->observeOnQueue(
      DispatchQueue::main(), [&](int) { ran = true; }, [](const Error&) {});
  EXPECT_FALSE(ran);

  auto pending = VBLPromise<int>::pendingPromise();
  bool ranPending = false;
  pending->observeOnQueue(
      DispatchQueue::main(), [&](int) { ranPending = true; }, [](const Error&) {});
  pending->fulfill(2);
  EXPECT_FALSE(ranPending);

  runUntilIdle();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(ranPending);
}

TEST(VBLPromiseCore, CallbacksRunOnTheGivenQueueInRegistrationOrder) {
  auto queue = DispatchQueue::serial("test.promise.callbacks");
  auto p = VBLPromise<int>::pendingPromise();
  std::mutex m;
  std::vector<int> order;
  std::atomic<int> onQueue{0};
  for (int i = 0; i < 20; ++i) {
    if (i == 10) p->fulfill(1);  // half registered before, half after the resolution
    p->observeOnQueue(
        queue,
        [&, i, queue](int) {
          if (queue->isCurrent()) ++onQueue;
          std::lock_guard lock(m);
          order.push_back(i);
        },
        [](const Error&) {});
  }
  platform::testing::drain(queue);
  ASSERT_EQ(order.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(onQueue, 20);
}

// Small callbacks (a chain step) and large ones are stored differently until the resolution;
// whatever the mix, they run in registration order, and every one of them keeps the dispatch
// group busy until it has run.
TEST(VBLPromiseCore, MixedObserversKeepOrderAndGroupMembership) {
  struct Case {
    const char* name;
    std::string kinds;  // s: a `then` step, l: observeOnQueue with its two blocks
    int resolveBefore;  // index of the registration the resolution precedes
  };
  const Case cases[] = {
      {"a single step", "s", 1},
      {"steps only", "ssss", 4},
      {"large ones only", "llll", 4},
      {"a step first", "slsl", 4},
      {"a large one first", "lsls", 4},
      {"resolved midway", "slslsl", 3},
      {"resolved first", "sls", 0},
  };
  const auto& group = VBLPromiseBase::dispatchGroup();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto queue = DispatchQueue::serial("test.promise.mixed");
    queue->suspend();
    std::vector<int> order;
    {
      auto p = VBLPromise<int>::pendingPromise();
      for (int i = 0; i < static_cast<int>(c.kinds.size()); ++i) {
        if (i == c.resolveBefore) p->fulfill(1);
        if (c.kinds[i] == 's') {
          p->then(queue, [&order, i](int) { order.push_back(i); });
        } else {
          p->observeOnQueue(queue, [&order, i](int) { order.push_back(i); }, [](const Error&) {});
        }
      }
      if (c.resolveBefore >= static_cast<int>(c.kinds.size())) p->fulfill(1);
    }
    // Resolved and dropped, but the callbacks wait on the suspended queue.
    EXPECT_FALSE(group->wait(0));
    queue->resume();
    platform::testing::drain(queue);
    ASSERT_EQ(order.size(), c.kinds.size());
    for (int i = 0; i < static_cast<int>(order.size()); ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(group->wait(5));
    // Counted exactly: a new member makes the group busy again.
    auto later = VBLPromise<int>::pendingPromise();
    EXPECT_FALSE(group->wait(0));
    later.reset();
    EXPECT_TRUE(group->wait(0));
  }
}

TEST(VBLPromiseCore, PlainFormsUseTheDefaultQueueReadWhenCalled) {
  auto queue = DispatchQueue::serial("test.promise.default");
  auto p = VBLPromise<int>::pendingPromise();
  std::atomic<bool> firstOnMain{false}, secondOnQueue{false};
  auto first = p->then([&](int v) {
    firstOnMain = DispatchQueue::isMainThread();
    return v;
  });
  VBLPromiseBase::setDefaultDispatchQueue(queue);
  auto second = p->then([&](int v) {
    secondOnQueue = queue->isCurrent();
    return v;
  });
  VBLPromiseBase::setDefaultDispatchQueue(DispatchQueue::main());
  p->fulfill(1);
  runUntilIdle();
  EXPECT_TRUE(firstOnMain);
  EXPECT_TRUE(secondOnQueue);
}

TEST(VBLPromiseCore, ConcurrentResolversAndObserversSeeExactlyOneOutcome) {
  for (int round = 0; round < 50; ++round) {
    auto p = VBLPromise<int>::pendingPromise();
    auto queue = DispatchQueue::concurrent("test.promise.race");
    std::atomic<int> calls{0};
    std::atomic<int> seen{-1};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        while (!go) std::this_thread::yield();
        if (t % 2 == 0) {
          if (t == 4) {
            p->reject(testError(t));
          } else {
            p->fulfill(t);
          }
        } else {
          p->observeOnQueue(
              queue,
              [&](int v) {
                ++calls;
                int expected = -1;
                if (!seen.compare_exchange_strong(expected, v)) {
                  EXPECT_EQ(expected, v);
                }
              },
              [&](const Error& e) {
                ++calls;
                int expected = -1;
                if (!seen.compare_exchange_strong(expected, 100 + static_cast<int>(e.code()))) {
                  EXPECT_EQ(expected, 100 + e.code());
                }
              });
        }
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    platform::testing::drain(queue);
    EXPECT_EQ(calls, 4);
    const int winner = p->isFulfilled() ? *p->value() : 100 + static_cast<int>(p->error()->code());
    EXPECT_EQ(seen, winner);
  }
}

TEST(VBLPromiseCore, ChainResolvesByWhatItsBlocksReturn) {
  struct Case {
    const char* name;
    bool sourceFulfills;
    std::function<VBLResult<int>(const int&)> onFulfill;
    std::function<VBLResult<int>(const Error&)> onReject;
    std::optional<int> value;
    std::optional<std::int64_t> errorCode;
  };
  const Case cases[] = {
      {"no blocks pass a value", true, nullptr, nullptr, 10, std::nullopt},
      {"no blocks pass an error", false, nullptr, nullptr, std::nullopt, 7},
      {"value from the block", true, [](const int& v) { return VBLResult<int>(v * 2); }, nullptr, 20, std::nullopt},
      {"error from the block", true, [](const int&) { return VBLResult<int>(testError(9)); }, nullptr, std::nullopt, 9},
      {"rejection recovered", false, nullptr, [](const Error& e) { return VBLResult<int>(static_cast<int>(e.code())); },
       7, std::nullopt},
      {"resolved promise adopted", true,
       [](const int& v) { return VBLResult<int>(VBLPromise<int>::resolvedWith(v + 1)); }, nullptr, 11, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto source = c.sourceFulfills ? VBLPromise<int>::resolvedWith(10) : VBLPromise<int>::resolvedWith(testError(7));
    auto chained = source->chainOnQueue<int>(DispatchQueue::main(), c.onFulfill, c.onReject);
    runUntilIdle();
    EXPECT_EQ(chained->value(), c.value);
    EXPECT_EQ(chained->error() ? std::optional(chained->error()->code()) : std::nullopt, c.errorCode);
  }
}

TEST(VBLPromiseCore, ChainAdoptingAPendingPromiseWaitsForIt) {
  auto inner = VBLPromise<std::string>::pendingPromise();
  auto chained = VBLPromise<int>::resolvedWith(1)->chainOnQueue<std::string>(
      DispatchQueue::main(), [inner](const int&) { return VBLResult<std::string>(inner); }, nullptr);
  runUntilIdle();
  EXPECT_TRUE(chained->isPending());
  inner->reject(testError(4));
  runUntilIdle();
  ASSERT_TRUE(chained->error());
  EXPECT_EQ(chained->error()->code(), 4);
}

TEST(VBLPromiseCore, DescriptionNamesStateAndResolution) {
  auto pending = VBLPromise<int>::pendingPromise();
  auto fulfilled = VBLPromise<std::string>::resolvedWith("done");
  auto rejected = VBLPromise<int>::resolvedWith(Error("d", 2));
  EXPECT_EQ(pending->description(),
            platform::format("<VBLPromise %p> Pending", static_cast<const void*>(pending.get())));
  EXPECT_EQ(fulfilled->description(),
            platform::format("<VBLPromise %p> Fulfilled: done", static_cast<const void*>(fulfilled.get())));
  EXPECT_EQ(rejected->description(),
            platform::format("<VBLPromise %p> Rejected: %@", static_cast<const void*>(rejected.get()), Error("d", 2)));
  pending->fulfill(0);
}

TEST(VBLPromiseCore, DispatchGroupEmptiesWhenPendingPromisesResolveOrDie) {
  const auto& group = VBLPromiseBase::dispatchGroup();
  auto kept = VBLPromise<int>::pendingPromise();
  auto dropped = VBLPromise<int>::pendingPromise();
  EXPECT_FALSE(group->wait(0));
  kept->fulfill(1);
  EXPECT_FALSE(group->wait(0));
  dropped.reset();  // destroyed unresolved
  EXPECT_TRUE(group->wait(5));
}

TEST(VBLPromiseCore, DroppingALongPendingChainDoesNotRecursePerLink) {
  // Each link is owned by the observer on the one before it; a chain deep enough to exhaust the
  // stack if torn down recursively.
  auto source = VBLPromise<int>::pendingPromise();
  std::weak_ptr<VBLPromise<std::string>> last;
  {
    auto current = source;
    for (int i = 0; i < 100000; ++i) current = current->then([](int v) { return v + 1; });
    last = current->then([](int v) { return std::to_string(v); });
  }
  source.reset();
  EXPECT_TRUE(last.expired());
  EXPECT_TRUE(VBLPromiseBase::dispatchGroup()->wait(0));
}

TEST(VBLPromiseCore, PendingObjectsLiveUntilResolution) {
  auto p = VBLPromise<int>::pendingPromise();
  auto object = std::make_shared<int>(3);
  std::weak_ptr<int> watch = object;
  p->addPendingObject(std::move(object));
  EXPECT_FALSE(watch.expired());
  p->fulfill(1);
  EXPECT_TRUE(watch.expired());
  // Once resolved nothing is kept.
  auto late = std::make_shared<int>(4);
  std::weak_ptr<int> lateWatch = late;
  p->addPendingObject(std::move(late));
  EXPECT_TRUE(lateWatch.expired());
}

TEST(VBLPromiseCore, CallerErrorsRaise) {
  auto reason = [](const std::function<void()>& f) -> std::string {
    try {
      f();
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), platform::kInternalInconsistencyException);
      return e.reason();
    }
    return "(nothing raised)";
  };
  auto p = VBLPromise<int>::pendingPromise();
  EXPECT_EQ(reason([&] { p->reject(Error()); }), "Invalid error type.");
  EXPECT_EQ(reason([&] {
              p->observeOnQueue(
                  nullptr, [](int) {}, [](const Error&) {});
            }),
            "Invalid parameter not satisfying: queue");
  EXPECT_EQ(reason([&] { p->observeOnQueue(DispatchQueue::main(), nullptr, [](const Error&) {}); }),
            "Invalid parameter not satisfying: onFulfill");
  EXPECT_EQ(reason([&] {
              p->observeOnQueue(
                  DispatchQueue::main(), [](int) {}, nullptr);
            }),
            "Invalid parameter not satisfying: onReject");
  EXPECT_EQ(reason([&] { p->addPendingObject(nullptr); }), "Invalid parameter not satisfying: object");
  EXPECT_EQ(reason([&] { VBLPromiseBase::setDefaultDispatchQueue(nullptr); }),
            "Invalid parameter not satisfying: queue");
  EXPECT_TRUE(p->isPending());
  p->fulfill(0);
}

}  // namespace
