// 10,000 events of 200 bytes sent through a transport and stored one file each, against a plain
// loop in the same run that writes 10,000 files of the stored events' size into one directory
// (open, write, fsync, close: what any store whose files survive a crash must do at the least).
// The same loop without fsync runs too, to show what the disk's flushes cost.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/home.h"
#include "sdk/transport/core/vdtcor_application.h"
#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_flat_file_storage.h"
#include "sdk/transport/core/vdtcor_lifecycle.h"
#include "sdk/transport/core/vdtcor_metrics_controller.h"
#include "sdk/transport/core/vdtcor_platform.h"
#include "sdk/transport/core/vdtcor_transport.h"
#include "bench/support/bench_home.h"
#include "bench/support/measuring_reporter.h"

namespace {

namespace fs = std::filesystem;

constexpr int kEvents = 10'000;
constexpr std::size_t kPayloadSize = 200;

class Payload final : public VDTCOREventDataObject {
 public:
  std::optional<platform::Data> transportBytes() const override { return platform::Data(kPayloadSize, 0x5a); }
};

void ensureHome() {
  [[maybe_unused]] static const bool loaded = [] {
    benchHome();
    VDTCORFlatFileStorage::load();
    VDTCORLifecycle::load();
    VDTCORMetricsController::load();
    VDTCORApplication::load();
    return true;
  }();
}

std::shared_ptr<VDTCOREvent> makeEvent(const VDTCORTransport& transport) {
  auto event = transport.eventForTransport();
  event->setDataObject(std::make_shared<Payload>());
  return event;
}

// The size of one stored event file, for the plain loop.
std::size_t storedEventSize() {
  auto transport = VDTCORTransport::initWithMappingID("137", {}, 1001);
  auto data = VDTCORArchiveObject(makeEvent(*transport), {}, nullptr);
  return data ? data->size() : kPayloadSize;
}

void removeStoredEvents() { fs::remove_all(VDTCORFlatFileStorage::eventDataStoragePath()); }

void plainFileWrites(benchmark::State& state, bool flush) {
  ensureHome();
  const platform::Data bytes(storedEventSize(), 0x5a);
  const fs::path directory = platform::Home::caches() / "plain";
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(directory);
    fs::create_directories(directory);
    state.ResumeTiming();
    for (int i = 0; i < kEvents; ++i) {
      const std::string path = (directory / std::to_string(i)).string();
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      const bool ok = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                      (!flush || ::fsync(fd) == 0);
      if (fd >= 0) ::close(fd);
      if (!ok) {
        state.SkipWithError("plain write failed");
        break;
      }
    }
  }
  fs::remove_all(directory);
  state.SetItemsProcessed(state.iterations() * kEvents);
}

void BM_PlainFileWrites(benchmark::State& state) { plainFileWrites(state, true); }
BENCHMARK(BM_PlainFileWrites)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainFileWritesWithoutFsync(benchmark::State& state) { plainFileWrites(state, false); }
BENCHMARK(BM_PlainFileWritesWithoutFsync)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TransportSendAndStore(benchmark::State& state) {
  ensureHome();
  auto transport = VDTCORTransport::initWithMappingID("137", {}, 1001);
  for (auto _ : state) {
    state.PauseTiming();
    removeStoredEvents();
    std::vector<std::shared_ptr<VDTCOREvent>> events;
    events.reserve(kEvents);
    for (int i = 0; i < kEvents; ++i) events.push_back(makeEvent(*transport));
    state.ResumeTiming();

    platform::DispatchSemaphore done;
    std::atomic<int> remaining{kEvents};
    std::atomic<int> failed{0};
    for (const auto& event : events) {
      transport->sendDataEvent(event, [&](bool written, const platform::Error&) {
        if (!written) ++failed;
        if (--remaining == 0) done.signal();
      });
    }
    done.wait();
    if (failed > 0) state.SkipWithError("events were not stored");
  }
  removeStoredEvents();
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_TransportSendAndStore)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double plain = r.rate("BM_PlainFileWrites"), transport = r.rate("BM_TransportSendAndStore");
    const double unflushed = r.rate("BM_PlainFileWritesWithoutFsync");
    if (plain <= 0) return;
    std::printf("transport: %.0f events/s, plain writes: %.0f files/s, ratio %.0f%% (target: at least 50%%)\n",
                transport, plain, 100 * transport / plain);
    if (unflushed > 0) {
      std::printf("plain writes without fsync: %.0f files/s (transport at %.1f%% of that)\n", unflushed,
                  100 * transport / unflushed);
    }
  });
}
