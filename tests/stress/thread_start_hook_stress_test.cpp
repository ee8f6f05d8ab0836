// The hook every new thread runs as it starts, on real threads: threads made at once from many
// threads, by std::thread and by pthread_create, while the hook is set, removed and replaced.
// Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/thread_hooks.h"

namespace platform {
namespace {

using dispatch::setThreadStartHook;

// How often the hook has run on this thread; a started thread reads it first thing.
thread_local int t_hookRuns = 0;
void countRun() { ++t_hookRuns; }

// What the hook had to do on a thread, judged by how the hook stood while the thread was started.
enum Due { kNever, kOnce, kEither };

// Sets and removes the hook, one changer at a time. Its state word says whether the hook is set
// and whether a change is under way, and counts the changes: a starter that reads the same word,
// not mid-change, before and after a start knows the hook stood so the whole time.
class HookSwitch {
 public:
  void turn(bool on) {
    const unsigned now = state_.load();
    const unsigned next = ((now >> 2) + 1) << 2;
    state_.store(next | kChanging | (now & kOn));
    setThreadStartHook(on ? countRun : nullptr);
    state_.store(next | (on ? kOn : 0u));
  }
  unsigned state() const { return state_.load(); }

  static Due due(unsigned before, unsigned after) {
    if (before != after || (before & kChanging)) return kEither;
    return (before & kOn) ? kOnce : kNever;
  }

 private:
  static constexpr unsigned kOn = 1;
  static constexpr unsigned kChanging = 2;
  std::atomic<unsigned> state_{0};
};

// Started threads by what the hook had to do on them and how often it ran (0, 1, more).
struct Tally {
  std::atomic<int> counts[3][3];  // zero from the start
  std::atomic<int> started{0};

  void record(Due due, int runs) {
    counts[due][std::min(runs, 2)].fetch_add(1);
    started.fetch_add(1);
  }
  int count(Due due, int runs) const { return counts[due][runs].load(); }
};

void* recordRunsOnPthread(void* runs) {
  *static_cast<int*>(runs) = t_hookRuns;
  return nullptr;
}

// One thread started, by std::thread or pthread_create, bracketed by readings of the switch.
void startOne(Tally& tally, const HookSwitch& hooks, bool viaPthread) {
  int runs = -1;
  const unsigned before = hooks.state();
  if (viaPthread) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, recordRunsOnPthread, &runs) != 0) {
      ADD_FAILURE() << "pthread_create failed";
      return;
    }
    const unsigned after = hooks.state();
    pthread_join(thread, nullptr);
    tally.record(HookSwitch::due(before, after), runs);
    return;
  }
  std::thread thread([&runs] { runs = t_hookRuns; });
  const unsigned after = hooks.state();
  thread.join();
  tally.record(HookSwitch::due(before, after), runs);
}

// `makers` threads each start and join `each` threads, alternating std::thread and
// pthread_create; every one of them, makers included, is recorded.
void makeThreads(Tally& tally, const HookSwitch& hooks, int makers, int each) {
  std::vector<std::thread> threads;
  for (int m = 0; m < makers; ++m) {
    const unsigned before = hooks.state();
    threads.emplace_back([&tally, &hooks, each, before] {
      const int runs = t_hookRuns;
      // A maker's own start is judged by its first reading once it runs.
      tally.record(HookSwitch::due(before, hooks.state()), runs);
      for (int i = 0; i < each; ++i) startOne(tally, hooks, i % 2 == 1);
    });
  }
  for (auto& t : threads) t.join();
}

// Every thread the hook had to run on ran it exactly once, before its own code, and no thread
// started while it was removed ran it.
void expectTheHookKeptItsPromise(const Tally& tally) {
  EXPECT_EQ(tally.count(kOnce, 0), 0) << "started while the hook was set, but never ran it";
  EXPECT_EQ(tally.count(kOnce, 2), 0) << "started while the hook was set, and ran it more than once";
  EXPECT_EQ(tally.count(kNever, 1) + tally.count(kNever, 2), 0) << "started while the hook was removed, and ran it";
  EXPECT_EQ(tally.count(kEither, 2), 0) << "started while the hook changed, and ran it more than once";
}

class ThreadStartHookStress : public ::testing::Test {
 protected:
  void TearDown() override { setThreadStartHook(nullptr); }
};

TEST_F(ThreadStartHookStress, EveryThreadStartedWhileTheHookIsSetRunsItOnceBeforeItsOwnCode) {
  constexpr int kMakers = 6;
  constexpr int kEach = 40;
  for (const bool on : {true, false}) {
    SCOPED_TRACE(on ? "set" : "removed");
    HookSwitch hooks;
    hooks.turn(on);
    Tally tally;
    makeThreads(tally, hooks, kMakers, kEach);
    expectTheHookKeptItsPromise(tally);
    EXPECT_EQ(tally.count(on ? kOnce : kNever, on ? 1 : 0), kMakers * (kEach + 1));
  }
}

TEST_F(ThreadStartHookStress, ThreadsStartWhileTheHookChanges) {
  // The hook changes after every few starts, so that some starts see it stand still, set or
  // removed, and others overlap a change.
  constexpr int kStartsPerChange = 10;
  HookSwitch hooks;
  Tally tally;
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (int i = 1; !stop.load(); ++i) {
      hooks.turn(i % 2 == 1);
      const int next = tally.started.load() + kStartsPerChange;
      while (tally.started.load() < next && !stop.load()) std::this_thread::yield();
    }
  });
  makeThreads(tally, hooks, 6, 80);
  stop = true;
  changer.join();
  expectTheHookKeptItsPromise(tally);
  // Both standing states were seen, or the checks above proved little.
  EXPECT_GT(tally.count(kOnce, 1), 0);
  EXPECT_GT(tally.count(kNever, 0), 0);
}

}  // namespace
}  // namespace platform
