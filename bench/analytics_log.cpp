// Events logged through the public interface until each is committed as a raw event (the event
// listener fires after the event's store transaction), against the bare SQLite insert of the
// same bytes, one transaction per row, in the same run. A third case writes the same events
// straight into the pipeline's store transaction on the worker queue, which splits the time
// between the facade's queues and validation and the pipeline's storage work.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "bench/support/bare_sqlite_insert.h"
#include "bench/support/bench_analytics_app.h"
#include "bench/support/measuring_reporter.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/dor_evoredire.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/messages/apmpb_messages.h"

namespace {

constexpr int kEvents = 500;

APMDictionary eventParameters(int index) {
  APMDictionary parameters;
  for (int i = 1; i < 10; ++i) {
    const std::string name = "param_" + std::to_string(i);
    if (i % 2 == 0) {
      parameters[name] = APMObject("value_" + std::to_string(i));
    } else {
      parameters[name] = APMObject(static_cast<long long>(i * 1000 + index));
    }
  }
  return parameters;
}

// The app as it launches, on the real clock.
std::shared_ptr<APMMeasurement> engine() {
  static const std::shared_ptr<APMMeasurement> instance = [] {
    platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
    return bench::configureAnalyticsApp();
  }();
  return instance;
}

void BM_FacadeLogToCommittedRawEvent(benchmark::State& state) {
  const auto measurement = engine();
  std::vector<APMDictionary> parameters;
  for (int i = 0; i < kEvents; ++i) parameters.push_back(eventParameters(i));
  std::mutex mutex;
  std::condition_variable committed;
  int count = 0;
  const auto token = APMAnalytics::addLogEventListener([&](const std::shared_ptr<const APMEvent>&) {
    std::lock_guard lock(mutex);
    ++count;
    committed.notify_all();
  });
  for (auto _ : state) {
    state.PauseTiming();
    bench::resetAnalyticsStore(*measurement);
    {
      std::lock_guard lock(mutex);
      count = 0;
    }
    state.ResumeTiming();
    for (const auto& p : parameters) DOREvoredire::logEventWithName("level_up", p);
    std::unique_lock lock(mutex);
    committed.wait(lock, [&] { return count == kEvents; });
  }
  APMAnalytics::removeLogEventListener(token);
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_FacadeLogToCommittedRawEvent)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PipelineTransactionOnWorkerQueue(benchmark::State& state) {
  const auto measurement = engine();
  std::vector<std::shared_ptr<APMEvent>> events;
  for (int i = 0; i < kEvents; ++i) {
    events.push_back(APMEvent::initWithOrigin("app", true, "level_up", 1'780'000'000 + i, 0, eventParameters(i)));
  }
  for (auto _ : state) {
    state.PauseTiming();
    bench::resetAnalyticsStore(*measurement);
    std::vector<std::shared_ptr<APMEvent>> copies;
    for (const auto& event : events) copies.push_back(event->copy());
    state.ResumeTiming();
    measurement->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [&] {
      for (const auto& event : copies) measurement->writeFilteredEventOnWorkerQueue(event);
    });
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_PipelineTransactionOnWorkerQueue)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareSqliteInsert(benchmark::State& state) {
  benchHome();
  std::vector<platform::Data> blobs;
  for (int i = 0; i < kEvents; ++i) {
    auto event = APMEvent::initWithOrigin("app", true, "level_up", 1'780'000'000 + i, 0, eventParameters(i));
    blobs.push_back(*event->protoEvent()->protoBuffer());
  }
  bench::runBareSqliteInserts(state, (platform::Home::temporary() / "bare.sql").string(), blobs);
}
BENCHMARK(BM_BareSqliteInsert)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double logged = r.rate("BM_FacadeLogToCommittedRawEvent");
    const double pipeline = r.rate("BM_PipelineTransactionOnWorkerQueue");
    const double bare = r.rate("BM_BareSqliteInsert");
    if (bare <= 0 || logged <= 0 || pipeline <= 0) return;
    std::printf("analytics log: %.0f events/s through the facade, bare SQLite: %.0f rows/s, ratio %.0f%%\n", logged,
                bare, 100 * logged / bare);
    // Per event: the pipeline's transaction (counters, aggregates, metadata record, raw event)
    // against the rest (facade checks, its queues and the hops to the worker queue).
    const double perLogged = 1e6 / logged, perPipeline = 1e6 / pipeline, perBare = 1e6 / bare;
    std::printf("per event: %.0f us in all; %.0f us in the store transaction (bare insert %.0f us), %.0f us before it\n",
                perLogged, perPipeline, perBare, perLogged - perPipeline);
  });
}
