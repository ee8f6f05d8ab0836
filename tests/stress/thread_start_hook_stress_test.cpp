// The hook every new thread runs as it starts, on real threads: threads made at once from many
// threads, by std::thread and by pthread_create, while the hook is set, removed and replaced.
// Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/thread_hooks.h"

namespace platform {
namespace {

using dispatch::setThreadStartHook;

thread_local bool t_hooked = false;
void markHooked() { t_hooked = true; }

struct Tally {
  std::atomic<int> hooked{0};
  std::atomic<int> plain{0};
  void count() { (t_hooked ? hooked : plain).fetch_add(1); }
};

void* countOnPthread(void* tally) {
  static_cast<Tally*>(tally)->count();
  return nullptr;
}

// `makers` threads each start and join `each` threads, alternating std::thread and pthread_create;
// every one of them, makers included, is counted.
void makeThreads(Tally& tally, int makers, int each) {
  std::vector<std::thread> threads;
  for (int m = 0; m < makers; ++m) {
    threads.emplace_back([&tally, each] {
      tally.count();
      for (int i = 0; i < each; ++i) {
        if (i % 2 == 0) {
          std::thread([&tally] { tally.count(); }).join();
          continue;
        }
        pthread_t thread;
        if (pthread_create(&thread, nullptr, countOnPthread, &tally) == 0) pthread_join(thread, nullptr);
        else ADD_FAILURE() << "pthread_create failed";
      }
    });
  }
  for (auto& t : threads) t.join();
}

class ThreadStartHookStress : public ::testing::Test {
 protected:
  void TearDown() override { setThreadStartHook(nullptr); }
};

TEST_F(ThreadStartHookStress, EveryThreadStartedWhileTheHookIsSetRunsItBeforeItsOwnCode) {
  constexpr int kMakers = 6;
  constexpr int kEach = 40;
  struct Phase {
    dispatch::ThreadStartHook hook;
    bool expectHooked;
  };
  for (const Phase& phase : {Phase{markHooked, true}, Phase{nullptr, false}}) {
    SCOPED_TRACE(phase.expectHooked ? "set" : "removed");
    setThreadStartHook(phase.hook);
    Tally tally;
    makeThreads(tally, kMakers, kEach);
    const int total = kMakers * (kEach + 1);
    EXPECT_EQ(phase.expectHooked ? tally.hooked.load() : tally.plain.load(), total);
  }
}

TEST_F(ThreadStartHookStress, ThreadsStartWhileTheHookChanges) {
  std::atomic<bool> stop{false};
  std::thread toggler([&stop] {
    for (int i = 0; !stop.load(); ++i) {
      setThreadStartHook(i % 2 ? markHooked : nullptr);
      std::this_thread::yield();
    }
  });
  Tally tally;
  makeThreads(tally, 6, 40);
  stop = true;
  toggler.join();
  // Each thread either ran the hook first or not at all; every one of them ran its own code.
  EXPECT_EQ(tally.hooked.load() + tally.plain.load(), 6 * 41);
}

}  // namespace
}  // namespace platform
