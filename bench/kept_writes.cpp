// Events kept in memory while another connection holds the measurement database, written once it
// is free (the retry that finds the file free writes every kept event), against the same events
// logged while the file is free, one store transaction each, in the same run. Each event takes the
// same road in both; the kept ones share transactions, so they must come out cheaper, never
// dearer, than the events logged one at a time.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>

#include "bench/support/bench_analytics_app.h"
#include "bench/support/measuring_reporter.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/storage/apm_sqlite_store.h"
#include "sdk/analytics/storage/apm_storage_paths.h"

namespace {

constexpr int kEvents = 500;

std::shared_ptr<APMMeasurement> engine() {
  static const std::shared_ptr<APMMeasurement> instance = [] {
    platform::testing::useManualClock();
    // A held file costs the first write that meets it only a moment, not the store's usual wait.
    APMSqliteStore::setBusyTimeoutMilliseconds(1);
    return bench::configureAnalyticsApp();
  }();
  return instance;
}

void logEvents(APMMeasurement& measurement) {
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  for (int i = 0; i < kEvents; ++i) {
    measurement.logEvent(APMEvent::initWithOrigin("app", true, "level_up", now, 0,
                                                  APMDictionary{{"index", APMObject(static_cast<long long>(i))}}));
  }
}

// Another connection's exclusive hold on the file, as a second process or a shell takes it.
class HeldDatabase {
 public:
  HeldDatabase() {
    const std::string path = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
    if (sqlite3_open_v2(path.c_str(), &handle_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_exec(handle_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "could not hold the database\n");
      std::abort();
    }
  }
  ~HeldDatabase() { release(); }
  void release() {
    if (!handle_) return;
    sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(handle_);
    handle_ = nullptr;
  }

 private:
  sqlite3* handle_ = nullptr;
};

void BM_EventsLoggedWhileTheDatabaseIsFree(benchmark::State& state) {
  const auto measurement = engine();
  for (auto _ : state) {
    state.PauseTiming();
    bench::resetAnalyticsStore(*measurement);
    state.ResumeTiming();
    logEvents(*measurement);
    platform::testing::runUntilIdle();
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_EventsLoggedWhileTheDatabaseIsFree)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_KeptEventsWrittenOnceTheDatabaseIsFree(benchmark::State& state) {
  const auto measurement = engine();
  for (auto _ : state) {
    state.PauseTiming();
    bench::resetAnalyticsStore(*measurement);
    {
      HeldDatabase held;
      logEvents(*measurement);
      platform::testing::runUntilIdle();
    }
    state.ResumeTiming();
    // The first timed retry, which finds the file free.
    platform::testing::advance(kAPMHeldDatabaseRetryInitialDelay);
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_KeptEventsWrittenOnceTheDatabaseIsFree)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double free = r.rate("BM_EventsLoggedWhileTheDatabaseIsFree");
    const double kept = r.rate("BM_KeptEventsWrittenOnceTheDatabaseIsFree");
    if (free <= 0 || kept <= 0) return;
    std::printf("kept writes: %.0f events/s written once the database is free, %.0f events/s logged while it is "
                "free, time ratio %.2fx\n",
                kept, free, free / kept);
  });
}
