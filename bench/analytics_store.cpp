// One raw event (10 parameters) inserted with its metadata per transaction through the measurement
// database, against a bare prepared SQLite insert of the same bytes with one transaction per row
// on a table of the same shape, in the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bench/support/bare_sqlite_insert.h"
#include "bench/support/bench_home.h"
#include "bench/support/measuring_reporter.h"
#include "platform/foundation/home.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_storage_paths.h"

namespace {

namespace fs = std::filesystem;

constexpr int kEvents = 500;

void ensureHome() { benchHome(); }

std::shared_ptr<APMPBEvent> makeEvent(int index) {
  auto event = APMPBEvent::initWithMessageInfo();
  NANOSetString(event.get(), APMFieldIndex(*event, 2), "level_up");
  NANOSetInt64(event.get(), APMFieldIndex(*event, 3), 1'780'000'000'000 + index);
  std::vector<std::shared_ptr<APMPBEventParam>> params;
  for (int i = 0; i < 10; ++i) {
    auto param = APMPBEventParam::initWithMessageInfo();
    NANOSetString(param.get(), APMFieldIndex(*param, 1), i == 0 ? "_o" : "param_" + std::to_string(i));
    if (i % 2 == 0) {
      NANOSetString(param.get(), APMFieldIndex(*param, 2), "value_" + std::to_string(i));
    } else {
      NANOSetInt64(param.get(), APMFieldIndex(*param, 3), i * 1000);
    }
    params.push_back(param);
  }
  NANOSetArray(event.get(), APMFieldIndex(*event, 1), params);
  return event;
}

std::shared_ptr<APMPBMeasurementBundle> makeMetadata() {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(bundle.get(), APMFieldIndex(*bundle, 14), "1:1234567890:ios:abcdef");
  NANOSetString(bundle.get(), APMFieldIndex(*bundle, 8), "ios");
  return bundle;
}

void BM_DatabaseRawEventInsert(benchmark::State& state) {
  ensureHome();
  const auto metadata = makeMetadata();
  std::vector<std::shared_ptr<APMPBEvent>> events;
  for (int i = 0; i < kEvents; ++i) events.push_back(makeEvent(i));
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName)));
    auto db = APMDatabase::initWithDatabaseName(std::string(kAPMMeasurementDatabaseName), nullptr, nullptr);
    state.ResumeTiming();
    for (const auto& event : events) {
      const bool ok = db->performTransaction([&] {
        return db->insertIfNotExistsRawEventMetadata(*metadata, nullptr) &&
               db->insertRawEvent(event.get(), 42, false, nullptr);
      });
      if (!ok) {
        state.SkipWithError("insert failed");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_DatabaseRawEventInsert)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareSqliteInsert(benchmark::State& state) {
  ensureHome();
  std::vector<platform::Data> blobs;
  for (int i = 0; i < kEvents; ++i) blobs.push_back(*makeEvent(i)->protoBuffer());
  bench::runBareSqliteInserts(state, (platform::Home::temporary() / "bare.sql").string(), blobs);
}
BENCHMARK(BM_BareSqliteInsert)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double store = r.rate("BM_DatabaseRawEventInsert"), bare = r.rate("BM_BareSqliteInsert");
    if (bare <= 0) return;
    std::printf("analytics store: %.0f events/s, bare SQLite: %.0f rows/s, ratio %.0f%% (target: at least 50%%)\n",
                store, bare, 100 * store / bare);
  });
}
