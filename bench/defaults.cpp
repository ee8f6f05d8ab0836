// 10,000 user-defaults writes and one flush, against building and writing the same property list
// once with libplist directly (the ceiling). The ratio of the two times is what to watch.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/foundation/home.h"
#include "platform/foundation/user_defaults.h"
#include "bench/support/bench_home.h"
#include "bench/support/measuring_reporter.h"

namespace {

constexpr int kWrites = 10'000;

std::string keyFor(int i) { return "setting." + std::to_string(i); }

void ensureHome() {
  [[maybe_unused]] static const bool flushed = [] {
    benchHome();
    // Registered after the home's removal, so it runs before it.
    std::atexit([] { platform::UserDefaults::flushAll(); });
    return true;
  }();
}

void BM_UserDefaultsSetThenFlush(benchmark::State& state) {
  ensureHome();
  auto defaults = platform::UserDefaults::suite("bench");
  for (auto _ : state) {
    for (int i = 0; i < kWrites; ++i) defaults->setInteger(i, keyFor(i));
    if (!defaults->synchronize()) state.SkipWithError("synchronize failed");
  }
  state.SetItemsProcessed(state.iterations() * kWrites);
}
BENCHMARK(BM_UserDefaultsSetThenFlush)->Unit(benchmark::kMillisecond);

void BM_LibplistWriteOnce(benchmark::State& state) {
  ensureHome();
  auto file = platform::Home::preferences() / "raw.plist";
  for (auto _ : state) {
    plist_t dict = plist_new_dict();
    for (int i = 0; i < kWrites; ++i) plist_dict_set_item(dict, keyFor(i).c_str(), plist_new_uint(static_cast<uint64_t>(i)));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bytes, &length);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && ::write(fd, bytes, length) == static_cast<ssize_t>(length) && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    std::free(bytes);
    plist_free(dict);
    if (!ok) state.SkipWithError("raw write failed");
  }
  state.SetItemsProcessed(state.iterations() * kWrites);
}
BENCHMARK(BM_LibplistWriteOnce)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double defaults = r.time("BM_UserDefaultsSetThenFlush"), raw = r.time("BM_LibplistWriteOnce");
    if (defaults > 0 && raw > 0) std::printf("defaults / raw libplist write: %.2fx\n", defaults / raw);
  });
}
