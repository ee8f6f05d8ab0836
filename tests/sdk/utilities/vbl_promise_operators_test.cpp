#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/testing/testing.h"
#include "sdk/utilities/promises/vbl_promise.h"

namespace {

using platform::DispatchQueue;
using platform::Error;
using platform::testing::advance;
using platform::testing::runUntilIdle;

Error testError(std::int64_t code = 7) { return Error("test.domain", code); }

// "value:<description>" or "error:<domain>/<code>" or "pending".
template <class T>
std::string outcome(const std::shared_ptr<VBLPromise<T>>& p) {
  if (p->isPending()) return "pending";
  if (p->isRejected()) return "error:" + p->error()->domain() + "/" + std::to_string(p->error()->code());
  return "value:" + vbl_detail::describeValue(*p->value());
}

std::string outcomes(const std::vector<VBLPromiseOutcome<int>>& list) {
  std::string text;
  for (const auto& o : list) {
    if (!text.empty()) text += ",";
    text += o.index() == 0 ? std::to_string(std::get<0>(o)) : "e" + std::to_string(std::get<1>(o).code());
  }
  return text;
}

TEST(VBLPromiseThen, MapsValuesAdoptsPromisesAndPassesRejections) {
  auto source = VBLPromise<int>::pendingPromise();
  auto text = source->then([](int v) { return std::to_string(v); });
  auto adopted = text->then([](const std::string& s) { return VBLPromise<std::size_t>::resolvedWith(s.size()); });
  auto nothing = adopted->then([](std::size_t) {});
  auto afterNothing = nothing->then([] { return 1.5; });
  source->fulfill(123);
  runUntilIdle();
  EXPECT_EQ(text->value(), "123");
  EXPECT_EQ(adopted->value(), 3u);
  EXPECT_TRUE(nothing->isFulfilled());
  EXPECT_EQ(afterNothing->value(), 1.5);

  bool called = false;
  auto rejected = VBLPromise<int>::resolvedWith(testError(3))->then([&](int v) {
    called = true;
    return v;
  });
  runUntilIdle();
  EXPECT_FALSE(called);
  EXPECT_EQ(outcome(rejected), "error:test.domain/3");
}

TEST(VBLPromiseThen, BlockErrorRejectsAndRunsOnTheGivenQueue) {
  auto queue = DispatchQueue::serial("test.then.queue");
  std::atomic<bool> onQueue{false};
  auto p = VBLPromise<int>::resolvedWith(1)->then(queue, [&](int) -> VBLResult<int> {
    onQueue = queue->isCurrent();
    return testError(12);
  });
  runUntilIdle();
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(outcome(p), "error:test.domain/12");
}

TEST(VBLPromiseCatch, ObservesRejectionsWithoutRecovering) {
  struct Case {
    const char* name;
    VBLPromise<int>::Ptr source;
    bool blockCalled;
    std::string result;
  };
  const Case cases[] = {
      {"rejected", VBLPromise<int>::resolvedWith(testError(2)), true, "error:test.domain/2"},
      {"fulfilled", VBLPromise<int>::resolvedWith(5), false, "value:5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    auto p = c.source->catch_([&](const Error& e) {
      ++calls;
      EXPECT_EQ(e.code(), 2);
    });
    runUntilIdle();
    EXPECT_EQ(calls, c.blockCalled ? 1 : 0);
    EXPECT_EQ(outcome(p), c.result);
  }
}

TEST(VBLPromiseRecover, RecoveryResultDecidesTheOutcome) {
  struct Case {
    const char* name;
    VBLPromise<int>::Ptr source;
    std::function<VBLResult<int>(const Error&)> recovery;
    std::string result;
  };
  const Case cases[] = {
      {"value", VBLPromise<int>::resolvedWith(testError()), [](const Error&) { return VBLResult<int>(1); }, "value:1"},
      {"error", VBLPromise<int>::resolvedWith(testError()), [](const Error&) { return VBLResult<int>(testError(8)); },
       "error:test.domain/8"},
      {"promise", VBLPromise<int>::resolvedWith(testError()),
       [](const Error&) { return VBLResult<int>(VBLPromise<int>::resolvedWith(4)); }, "value:4"},
      {"fulfilled source untouched", VBLPromise<int>::resolvedWith(6),
       [](const Error&) { return VBLResult<int>(testError(99)); }, "value:6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = c.source->recover(c.recovery);
    runUntilIdle();
    EXPECT_EQ(outcome(p), c.result);
  }
}

TEST(VBLPromiseAlways, RunsOnEitherOutcomeAndKeepsIt) {
  for (auto source : {VBLPromise<int>::resolvedWith(3), VBLPromise<int>::resolvedWith(testError(4))}) {
    int calls = 0;
    auto p = source->always([&] { ++calls; });
    runUntilIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(outcome(p), outcome(source));
  }
}

TEST(VBLPromiseValidate, RejectsWithTheValidationErrorWhenThePredicateSaysNo) {
  struct Case {
    const char* name;
    VBLPromise<int>::Ptr source;
    bool predicateCalled;
    std::string result;
  };
  const Case cases[] = {
      {"accepted", VBLPromise<int>::resolvedWith(5), true, "value:5"},
      {"refused", VBLPromise<int>::resolvedWith(-5), true, "error:com.videzu.VBLPromises.Error/2"},
      {"rejected source", VBLPromise<int>::resolvedWith(testError(1)), false, "error:test.domain/1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool called = false;
    auto p = c.source->validate([&](int v) {
      called = true;
      return v > 0;
    });
    runUntilIdle();
    EXPECT_EQ(called, c.predicateCalled);
    EXPECT_EQ(outcome(p), c.result);
  }
}

TEST(VBLPromiseReduce, FoldsItemsInOrderAndStopsAtARejection) {
  auto source = VBLPromise<std::string>::resolvedWith("x");
  EXPECT_EQ(source->reduce(std::vector<std::string>{}, [](const std::string& s, const std::string&) { return s; }),
            source);

  auto folded =
      source->reduce(std::vector<std::string>{"a", "b"},
                     [](const std::string& partial, const std::string& item) { return "(" + partial + item + ")"; });
  runUntilIdle();
  EXPECT_EQ(folded->value(), "((xa)b)");

  std::vector<int> seen;
  auto stopped =
      VBLPromise<int>::resolvedWith(0)->reduce(std::vector<int>{1, 2, 3}, [&](int partial, int item) -> VBLResult<int> {
        seen.push_back(item);
        if (item == 2) return testError(2);
        return partial + item;
      });
  runUntilIdle();
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_EQ(outcome(stopped), "error:test.domain/2");
}

TEST(VBLPromiseDelay, FulfilsAfterTheIntervalAndRejectsAtOnce) {
  auto source = VBLPromise<int>::pendingPromise();
  auto delayed = source->delay(2.0);
  source->fulfill(8);
  runUntilIdle();
  advance(1.999);
  EXPECT_TRUE(delayed->isPending());
  advance(0.001);
  EXPECT_EQ(delayed->value(), 8);

  auto rejected = VBLPromise<int>::resolvedWith(testError(5))->delay(100);
  runUntilIdle();
  EXPECT_EQ(outcome(rejected), "error:test.domain/5");
}

TEST(VBLPromiseTimeout, RejectsWhenTheIntervalPassesFirst) {
  auto never = VBLPromise<int>::pendingPromise();
  auto bounded = never->timeout(3.0);
  advance(2.9);
  EXPECT_TRUE(bounded->isPending());
  advance(0.1);
  EXPECT_EQ(outcome(bounded), "error:com.videzu.VBLPromises.Error/1");
  EXPECT_TRUE(VBLPromiseErrorIsTimedOut(*bounded->error()));
  never->fulfill(1);  // too late: changes nothing
  runUntilIdle();
  EXPECT_EQ(outcome(bounded), "error:com.videzu.VBLPromises.Error/1");

  auto quick = VBLPromise<int>::pendingPromise();
  auto taken = quick->timeout(3.0);
  quick->fulfill(2);
  runUntilIdle();
  advance(5);
  EXPECT_EQ(outcome(taken), "value:2");
}

TEST(VBLPromiseTimeout, TimerDoesNotKeepTheResultAlive) {
  auto never = VBLPromise<int>::pendingPromise();
  std::weak_ptr<VBLPromise<int>> watch;
  {
    auto bounded = never->timeout(3.0);
    watch = bounded;
  }
  never.reset();  // the source and its observer go, so nothing holds the result but the timer
  EXPECT_TRUE(watch.expired());
  advance(3);
}

TEST(VBLPromiseAsync, FirstResolutionCountsWhateverItCarries) {
  struct Case {
    const char* name;
    std::function<void(VBLPromise<int>::Fulfill, VBLPromise<int>::Reject)> work;
    std::string result;
  };
  const Case cases[] = {
      {"value", [](auto fulfill, auto) { fulfill(1); }, "value:1"},
      {"reject", [](auto, auto reject) { reject(testError(2)); }, "error:test.domain/2"},
      {"error through fulfil", [](auto fulfill, auto) { fulfill(testError(3)); }, "error:test.domain/3"},
      {"promise adopted", [](auto fulfill, auto) { fulfill(VBLPromise<int>::resolvedWith(4)); }, "value:4"},
      {"twice",
       [](auto fulfill, auto reject) {
         fulfill(5);
         reject(testError(6));
         fulfill(7);
       },
       "value:5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = VBLPromise<int>::async(c.work);
    EXPECT_TRUE(p->isPending());  // the work is only submitted
    runUntilIdle();
    EXPECT_EQ(outcome(p), c.result);
  }
}

TEST(VBLPromiseAsync, WorkMayResolveLaterFromAnotherThread) {
  auto queue = DispatchQueue::serial("test.async.queue");
  std::atomic<bool> onQueue{false};
  std::thread worker;
  auto p = VBLPromise<int>::async(queue, [&](auto fulfill, auto) {
    onQueue = queue->isCurrent();
    worker = std::thread([fulfill] { fulfill(42); });
  });
  platform::testing::drain(queue);
  worker.join();
  runUntilIdle();
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(p->value(), 42);
}

TEST(VBLPromiseDo, ReturnedObjectResolvesByTheChainingRule) {
  struct Case {
    const char* name;
    std::function<VBLResult<std::string>()> work;
    std::string result;
  };
  const Case cases[] = {
      {"value", [] { return VBLResult<std::string>("v"); }, "value:v"},
      {"error", [] { return VBLResult<std::string>(testError(9)); }, "error:test.domain/9"},
      {"promise", [] { return VBLResult<std::string>(VBLPromise<std::string>::resolvedWith("p")); }, "value:p"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = VBLPromise<std::string>::do_(c.work);
    runUntilIdle();
    EXPECT_EQ(outcome(p), c.result);
  }
}

TEST(VBLPromiseAll, EmptyListIsAlreadyFulfilled) {
  auto all = VBLPromise<int>::all(std::vector<VBLResult<int>>{});
  EXPECT_TRUE(all->isFulfilled());
  EXPECT_TRUE(all->value()->empty());
  auto any = VBLPromise<int>::any(std::vector<VBLResult<int>>{});
  EXPECT_TRUE(any->isFulfilled());
  EXPECT_TRUE(any->value()->empty());
}

TEST(VBLPromiseAll, KeepsInputOrderWhateverTheOrderOfFulfilment) {
  auto a = VBLPromise<int>::pendingPromise();
  auto b = VBLPromise<int>::pendingPromise();
  auto all = VBLPromise<int>::all({a, 10, b});
  b->fulfill(2);
  runUntilIdle();
  EXPECT_TRUE(all->isPending());
  a->fulfill(1);
  runUntilIdle();
  EXPECT_EQ(all->value(), (std::vector<int>{1, 10, 2}));
}

TEST(VBLPromiseAll, AnErrorItemRejectsWithoutWaiting) {
  auto pending = VBLPromise<int>::pendingPromise();
  auto all = VBLPromise<int>::all({1, pending, testError(3)});
  runUntilIdle();
  EXPECT_EQ(outcome(all), "error:test.domain/3");

  auto a = VBLPromise<int>::pendingPromise();
  auto b = VBLPromise<int>::pendingPromise();
  auto first = VBLPromise<int>::all(std::vector<VBLPromise<int>::Ptr>{a, b});
  b->reject(testError(4));
  runUntilIdle();
  a->reject(testError(5));
  runUntilIdle();
  EXPECT_EQ(outcome(first), "error:test.domain/4");
  pending->fulfill(0);
}

TEST(VBLPromiseAny, WaitsForEveryMemberAndRejectsOnlyWhenAllFailed) {
  auto pending = VBLPromise<int>::pendingPromise();
  auto any = VBLPromise<int>::any({1, pending, testError(3)});
  runUntilIdle();
  EXPECT_TRUE(any->isPending());
  pending->reject(testError(2));
  runUntilIdle();
  ASSERT_TRUE(any->isFulfilled());
  EXPECT_EQ(outcomes(*any->value()), "1,e2,e3");

}

TEST(VBLPromiseAny, AllRejectedTakesTheErrorOfTheFirstCallbackToFindNoMemberPending) {
  // Callbacks run in member order on the main queue; a member counts as settled once it is
  // resolved, even before its own callback has run.
  struct Case {
    const char* name;
    std::function<std::shared_ptr<VBLPromise<std::vector<VBLPromiseOutcome<int>>>>()> run;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"an error item and a promise already rejected",
       [] { return VBLPromise<int>::any({testError(1), VBLPromise<int>::resolvedWith(testError(2))}); },
       "error:test.domain/1"},
      {"two promises rejected before either callback runs",
       [] {
         auto a = VBLPromise<int>::pendingPromise();
         auto b = VBLPromise<int>::pendingPromise();
         auto any = VBLPromise<int>::any({a, b});
         runUntilIdle();
         b->reject(testError(4));
         a->reject(testError(3));
         return any;
       },
       "error:test.domain/4"},
      {"the last member rejects after the others were delivered",
       [] {
         auto x = VBLPromise<int>::pendingPromise();
         auto any = VBLPromise<int>::any({testError(1), x});
         runUntilIdle();
         x->reject(testError(6));
         return any;
       },
       "error:test.domain/6"},
  };
  for (const Case& c : cases) {
    auto any = c.run();
    runUntilIdle();
    EXPECT_EQ(outcome(any), c.expected) << c.name;
  }
}

TEST(VBLPromiseAll, AnUnresolvedMemberDroppedByEveryoneLetsTheDispatchGroupEmpty) {
  using Combine = std::function<std::shared_ptr<VBLPromiseBase>(VBLPromise<int>::Ptr, VBLPromise<int>::Ptr)>;
  struct Case {
    const char* name;
    Combine combine;
  };
  const std::vector<Case> cases = {
      {"all, settled by a rejection",
       [](auto never, auto other) {
         auto combined = VBLPromise<int>::all({never, other});
         other->reject(testError());
         return combined;
       }},
      {"all, never settled",
       [](auto never, auto other) {
         auto combined = VBLPromise<int>::all({never, other});
         other->fulfill(1);
         return combined;
       }},
      {"any, never settled",
       [](auto never, auto other) {
         auto combined = VBLPromise<int>::any({never, other});
         other->fulfill(1);
         return combined;
       }},
  };
  for (const Case& c : cases) {
    std::weak_ptr<VBLPromise<int>> watch;
    {
      auto never = VBLPromise<int>::pendingPromise();
      watch = never;
      auto combined = c.combine(never, VBLPromise<int>::pendingPromise());
      runUntilIdle();
    }
    EXPECT_TRUE(watch.expired()) << c.name;
    EXPECT_TRUE(VBLPromiseBase::dispatchGroup()->wait(5)) << c.name;
  }
}

TEST(VBLPromiseAll, MembersSettlingAtOnceOnManyThreadsCombineOnce) {
  // Real threads: the observers of one combination run at the same time on a concurrent queue.
  auto queue = DispatchQueue::concurrent("test.all.stress");
  for (int round = 0; round < 20; ++round) {
    std::vector<VBLPromise<int>::Ptr> members;
    std::vector<VBLPromise<int>::Ptr> failing;
    for (int i = 0; i < 16; ++i) {
      members.push_back(VBLPromise<int>::pendingPromise());
      failing.push_back(VBLPromise<int>::pendingPromise());
    }
    auto all = VBLPromise<int>::all(queue, std::vector<VBLResult<int>>(members.begin(), members.end()));
    auto any = VBLPromise<int>::any(queue, std::vector<VBLResult<int>>(members.begin(), members.end()));
    auto none = VBLPromise<int>::any(queue, std::vector<VBLResult<int>>(failing.begin(), failing.end()));
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
      threads.emplace_back([member = members[static_cast<std::size_t>(i)], i] { member->fulfill(i); });
      threads.emplace_back([member = failing[static_cast<std::size_t>(i)], i] { member->reject(testError(i)); });
    }
    for (auto& t : threads) t.join();
    runUntilIdle();
    ASSERT_TRUE(none->isRejected());
    EXPECT_LT(static_cast<std::size_t>(none->error()->code()), failing.size());
    ASSERT_TRUE(all->isFulfilled());
    std::vector<int> expected(16);
    for (int i = 0; i < 16; ++i) expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(*all->value(), expected);
    ASSERT_TRUE(any->isFulfilled());
    EXPECT_EQ(any->value()->size(), 16u);
  }
}

TEST(VBLPromiseRace, FirstOutcomeWins) {
  struct Case {
    const char* name;
    std::vector<VBLResult<int>> items;
    std::string result;
  };
  auto fulfilled = VBLPromise<int>::resolvedWith(1);
  std::vector<Case> cases;
  cases.push_back({"plain values are found before any promise", {fulfilled, 2}, "value:2"});
  cases.push_back({"an error item", {fulfilled, testError(3), 4}, "error:test.domain/3"});
  cases.push_back({"promises only", {VBLPromise<int>::pendingPromise(), fulfilled}, "value:1"});
  cases.push_back({"rejected promise", {VBLPromise<int>::resolvedWith(testError(5))}, "error:test.domain/5"});
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = VBLPromise<int>::race(std::move(c.items));
    runUntilIdle();
    EXPECT_EQ(outcome(p), c.result);
  }
}

TEST(VBLPromiseRetry, RetriesOnVirtualTimeUntilTheCountIsSpent) {
  int calls = 0;
  auto p = VBLPromise<int>::retry([&]() -> VBLResult<int> { return testError(++calls); });
  EXPECT_EQ(calls, 1);  // the first attempt runs at once, on the calling thread
  runUntilIdle();
  advance(0.999);
  EXPECT_EQ(calls, 1);
  advance(0.001);
  EXPECT_EQ(calls, 2);
  advance(10);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(outcome(p), "error:test.domain/2");
}

TEST(VBLPromiseRetry, OnlyTheFirstAttemptRunsOnTheCallingThread) {
  auto queue = DispatchQueue::serial("test.retry.queue");
  std::mutex m;
  std::vector<bool> onQueue;
  auto p = VBLPromise<int>::attempts(queue, 2, 1.0, nullptr, [&]() -> VBLResult<int> {
    std::lock_guard lock(m);
    onQueue.push_back(queue->isCurrent());
    return testError(static_cast<std::int64_t>(onQueue.size()));
  });
  for (int i = 0; i < 2; ++i) {
    advance(1);
    platform::testing::drain(queue);
  }
  std::lock_guard lock(m);
  EXPECT_EQ(onQueue, (std::vector<bool>{false, true, true}));
  EXPECT_EQ(outcome(p), "error:test.domain/3");
}

TEST(VBLPromiseRetry, PredicateAndCountBoundTheAttempts) {
  struct Case {
    const char* name;
    std::int64_t count;
    bool predicateAgrees;
    int expectedCalls;
    std::vector<std::int64_t> predicateSaw;
  };
  const Case cases[] = {
      {"predicate says no", 3, false, 1, {3}},
      {"no retries left", 0, true, 1, {}},
      {"all retries", 2, true, 3, {2, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    std::vector<std::int64_t> saw;
    auto p = VBLPromise<int>::attempts(
        c.count, 0.5,
        [&](std::int64_t remaining, const Error&) {
          saw.push_back(remaining);
          return c.predicateAgrees;
        },
        [&]() -> VBLResult<int> {
          ++calls;
          return VBLPromise<int>::resolvedWith(testError(calls));
        });
    runUntilIdle();
    advance(10);
    EXPECT_EQ(calls, c.expectedCalls);
    EXPECT_EQ(saw, c.predicateSaw);
    EXPECT_EQ(outcome(p), "error:test.domain/" + std::to_string(c.expectedCalls));
  }
}

TEST(VBLPromiseRetry, AValueEndsTheRetries) {
  int calls = 0;
  auto p = VBLPromise<int>::attempts(5, [&]() -> VBLResult<int> {
    if (++calls < 3) return testError(calls);
    return calls * 10;
  });
  runUntilIdle();
  advance(1);
  advance(1);
  advance(1);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(outcome(p), "value:30");
}

TEST(VBLPromiseWrap, HandlersMapTheirArgumentsToTheOutcome) {
  const Error e = testError(1);
  struct Case {
    const char* name;
    std::function<std::string()> run;
    std::string result;
  };
  auto settle = [](auto p) {
    runUntilIdle();
    return outcome(p);
  };
  const Case cases[] = {
      {"completion", [&] { return settle(VBLPromise<VBLVoid>::wrapCompletion([](auto h) { h(); })); }, "value:(null)"},
      {"object", [&] { return settle(VBLPromise<std::string>::wrapObjectCompletion([](auto h) { h("o"); })); },
       "value:o"},
      {"error set", [&] { return settle(VBLPromise<VBLVoid>::wrapErrorCompletion([&](auto h) { h(e); })); },
       "error:test.domain/1"},
      {"error unset", [&] { return settle(VBLPromise<VBLVoid>::wrapErrorCompletion([](auto h) { h(Error()); })); },
       "value:(null)"},
      {"object or error: object",
       [&] { return settle(VBLPromise<std::string>::wrapObjectOrErrorCompletion([](auto h) { h("o", Error()); })); },
       "value:o"},
      {"object or error: error",
       [&] { return settle(VBLPromise<std::string>::wrapObjectOrErrorCompletion([&](auto h) { h("o", e); })); },
       "error:test.domain/1"},
      {"error or object: error wins over an object",
       [&] { return settle(VBLPromise<std::string>::wrapErrorOrObjectCompletion([&](auto h) { h(e, "o"); })); },
       "error:test.domain/1"},
      {"two objects",
       [&] {
         auto p = VBLPromise<std::pair<std::optional<int>, int>>::wrap2ObjectsOrErrorCompletion(
             [](auto h) { h(std::nullopt, 5, Error()); });
         runUntilIdle();
         return p->value() == std::pair<std::optional<int>, int>(std::nullopt, 5) ? std::string("value:[null,5]")
                                                                                  : outcome(p);
       },
       "value:[null,5]"},
      {"bool", [&] { return settle(VBLPromise<bool>::wrapBoolCompletion([](auto h) { h(true); })); }, "value:1"},
      {"bool or error",
       [&] { return settle(VBLPromise<bool>::wrapBoolOrErrorCompletion([&](auto h) { h(true, e); })); },
       "error:test.domain/1"},
      {"integer",
       [&] { return settle(VBLPromise<std::int64_t>::wrapIntegerCompletion([](auto h) { h(std::int64_t{-4}); })); },
       "value:-4"},
      {"integer or error",
       [&] {
         return settle(
             VBLPromise<std::int64_t>::wrapIntegerOrErrorCompletion([](auto h) { h(std::int64_t{9}, Error()); }));
       },
       "value:9"},
      {"double", [&] { return settle(VBLPromise<double>::wrapDoubleCompletion([](auto h) { h(2.5); })); }, "value:2.5"},
      {"double or error",
       [&] { return settle(VBLPromise<double>::wrapDoubleOrErrorCompletion([&](auto h) { h(2.5, e); })); },
       "error:test.domain/1"},
      {"handler called twice",
       [&] {
         return settle(VBLPromise<std::string>::wrapObjectOrErrorCompletion([&](auto h) {
           h("first", Error());
           h("second", e);
         }));
       },
       "value:first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.run(), c.result);
  }
}

TEST(VBLPromiseOperators, MissingArgumentsRaiseNamingTheParameter) {
  auto reason = [](const std::function<void()>& f) -> std::string {
    try {
      f();
    } catch (const platform::Exception& e) {
      return e.reason();
    }
    return "(nothing raised)";
  };
  auto p = VBLPromise<int>::resolvedWith(1);
  const VBLPromiseBase::Queue none;
  struct Case {
    std::function<void()> call;
    std::string reason;
  };
  const Case cases[] = {
      {[&] { p->then(none, [](int v) { return v; }); }, "Invalid parameter not satisfying: queue"},
      {[&] { p->then(std::function<int(const int&)>()); }, "Invalid parameter not satisfying: work"},
      {[&] { p->catch_(std::function<void(const Error&)>()); }, "Invalid parameter not satisfying: reject"},
      {[&] { p->recover(std::function<int(const Error&)>()); }, "Invalid parameter not satisfying: recovery"},
      {[&] { p->validate(std::function<bool(const int&)>()); }, "Invalid parameter not satisfying: predicate"},
      {[&] { p->reduce(std::vector<int>{1}, std::function<int(int, int)>()); },
       "Invalid parameter not satisfying: reducer"},
      {[&] { p->always(std::function<void()>()); }, "Invalid parameter not satisfying: work"},
      {[&] { VBLPromise<int>::do_(std::function<int()>()); }, "Invalid parameter not satisfying: work"},
      {[&] { VBLPromise<int>::retry(std::function<int()>()); }, "Invalid parameter not satisfying: work"},
      {[&] { VBLPromise<int>::all({VBLPromise<int>::Ptr()}); }, "Invalid parameter not satisfying: allPromises"},
      {[&] { VBLPromise<int>::race(std::vector<VBLResult<int>>{}); }, "No promises to observe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(reason(c.call), c.reason);
  }
}

}  // namespace
