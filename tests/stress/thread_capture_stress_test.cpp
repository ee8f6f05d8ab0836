// The crash reporter's view of live threads, on real threads: suspension while threads spin, hold
// locks, start and exit; and the thread -> queue-label table while pool threads run blocks of
// many queues. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/thread_hooks.h"
#include "platform/mach/thread_state.h"
#include "platform/runloop/clock.h"

namespace platform {
namespace {

using namespace platform::mach;

pid_t currentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

struct Worker {
  std::atomic<ThreadPort> port{0};
  std::atomic<uint64_t> progress{0};
  std::mutex own;  // taken on every turn, so a suspension can land while it is held
};

class ThreadCaptureStress : public ::testing::Test {
 protected:
  void SetUp() override {
    Clock::setCurrent(std::make_shared<RealClock>());
    ASSERT_TRUE(installThreadSuspendSignal());
  }
};

TEST_F(ThreadCaptureStress, SuspendedThreadsStandStillAndAllRunAgainWhileOthersComeAndGo) {
  constexpr int kWorkers = 8;
  constexpr int kRounds = 150;
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<Worker>> workers;
  for (int i = 0; i < kWorkers; ++i) workers.push_back(std::make_unique<Worker>());
  std::vector<std::thread> threads;
  for (auto& w : workers) {
    const bool naps = threads.size() % 2 == 1;
    threads.emplace_back([&stop, naps, worker = w.get()] {
      worker->port = threadSelf();
      while (!stop.load(std::memory_order_relaxed)) {
        std::lock_guard hold(worker->own);
        worker->progress.fetch_add(1, std::memory_order_relaxed);
        // Half of them spend their time in a system call, which the suspension interrupts.
        if (naps) {
          timespec nap{0, 20'000};
          nanosleep(&nap, nullptr);
        }
      }
    });
  }
  // Short-lived threads: listed, then gone before (or while) they are suspended.
  std::thread churn([&stop] {
    while (!stop.load()) std::thread([] { std::this_thread::yield(); }).join();
  });
  for (auto& w : workers) {
    while (w->port.load() == 0) std::this_thread::yield();
  }

  const ThreadPort self = threadSelf();
  ThreadPort listed[kMaxTaskThreads];
  ThreadPort suspended[kMaxTaskThreads];
  int gone = 0, failed = 0, stoodStill = 0;
  for (int round = 0; round < kRounds; ++round) {
    const int count = taskThreads(listed, kMaxTaskThreads);
    ASSERT_GT(count, kWorkers);
    int held = 0;
    // Odd rounds ask every thread before waiting for any, as the crash recorder does.
    const bool together = round % 2 == 1;
    SuspendResult requested[kMaxTaskThreads];
    for (int i = 0; together && i < count; ++i) {
      if (listed[i] >> 8 != self >> 8) requested[i] = threadSuspendRequest(listed[i]);
    }
    const int64_t deadline = threadSuspendDeadline();
    for (int i = 0; i < count; ++i) {
      if (listed[i] >> 8 == self >> 8) continue;
      SuspendResult result = together ? requested[i] : threadSuspend(listed[i]);
      if (result == SuspendResult::requested) result = threadSuspendWait(listed[i], deadline);
      // On a loaded machine a thread may not run its handler within the bound: that counts as
      // a failed suspension, which must leave the thread unharmed (checked below).
      if (result == SuspendResult::failed) ++failed;
      if (result == SuspendResult::suspended) suspended[held++] = listed[i];
      else ++gone;
    }
    // A suspended worker makes no progress while it is.
    uint64_t before[kWorkers];
    bool isSuspended[kWorkers] = {};
    for (int w = 0; w < kWorkers; ++w) {
      before[w] = workers[w]->progress.load();
      for (int i = 0; i < held; ++i) isSuspended[w] |= suspended[i] == workers[w]->port.load();
    }
    for (int spin = 0; spin < 2000; ++spin) std::this_thread::yield();
    for (int w = 0; w < kWorkers; ++w) {
      if (!isSuspended[w]) continue;
      ++stoodStill;
      EXPECT_EQ(workers[w]->progress.load(), before[w]) << "worker " << w << " ran while suspended";
    }
    for (int i = 0; i < held; ++i) {
      int64_t registers[kGeneralRegisterCount];
      const int state = threadGetState(suspended[i], registers, kGeneralRegisterCount);
      EXPECT_TRUE(state == kKernSuccess || state == kMachSendInvalidDest) << state;
    }
    for (int i = 0; i < held; ++i) EXPECT_TRUE(threadResume(suspended[i]));
    // All run again.
    for (int w = 0; w < kWorkers; ++w) {
      before[w] = isSuspended[w] ? before[w] : workers[w]->progress.load();
      uint64_t spins = 0;
      while (workers[w]->progress.load() == before[w] && ++spins < 100'000'000) std::this_thread::yield();
      ASSERT_GT(workers[w]->progress.load(), before[w]) << "worker " << w << " never resumed";
    }
  }
  stop = true;
  churn.join();
  for (auto& t : threads) t.join();
  EXPECT_GT(stoodStill, kRounds * kWorkers / 2) << "too few suspensions to show anything";
  RecordProperty("gone", gone);
  RecordProperty("failed", failed);
}

TEST_F(ThreadCaptureStress, EachPoolThreadShowsTheLabelOfTheQueueItRuns) {
  constexpr int kQueues = 12;
  constexpr int kBlocks = 200;
  std::vector<std::string> labels;
  std::vector<std::shared_ptr<DispatchQueue>> queues;
  for (int q = 0; q < kQueues; ++q) {
    labels.push_back("com.focus.stress.label-" + std::to_string(q));
    queues.push_back(DispatchQueue::serial(labels.back()));
  }
  // Readers scan the table for every thread id while slots are claimed and given back (the
  // labels they find may dangle, so only the pointers are read, as the crash reporter does).
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::atomic<long> found{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      const pid_t first = getpid();
      while (!stop.load()) {
        for (pid_t tid = first; tid < first + 512; ++tid) found += dispatch::queueLabelForThread(tid) != nullptr;
      }
    });
  }
  std::thread churn([&] {
    while (!stop.load()) std::thread([] { (void)dispatch::queueLabelForThread(currentTid()); }).join();
  });

  auto group = DispatchGroup::make();
  for (int b = 0; b < kBlocks; ++b) {
    for (int q = 0; q < kQueues; ++q) {
      group->async(queues[q], [&, q] {
        const char* label = dispatch::queueLabelForThread(currentTid());
        if (!label || labels[q] != label) ++mismatches;
      });
    }
  }
  group->wait();
  stop = true;
  churn.join();
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(dispatch::queueLabelForThread(currentTid()), nullptr) << "the test thread runs no queue";
}

}  // namespace
}  // namespace platform
