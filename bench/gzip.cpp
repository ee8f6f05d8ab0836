// Compressing and inflating 1 MB of event-like data through the data extension, against zlib's own
// deflate and inflate at the same level (default, gzip wrapper) in one call each, in the same run.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <random>
#include <string>

#include "bench/support/measuring_reporter.h"
#include "sdk/utilities/utilities/vul_gzip.h"

namespace {

constexpr std::size_t kSize = 1 << 20;

// Parameter records as the engine stores them: names repeat, values vary.
const platform::Data& plain() {
  static const platform::Data data = [] {
    std::mt19937 random(7);
    std::string text;
    while (text.size() < kSize) {
      text += "{\"name\":\"_e\",\"params\":{\"_o\":\"auto\",\"ga_session_id\":" + std::to_string(random() % 100000) +
              ",\"value\":" + std::to_string(random() % 1000) + ".5,\"item\":\"sku-" + std::to_string(random() % 64) +
              "\"},\"timestamp\":" + std::to_string(1780000000000ULL + random() % 100000) + "}\n";
    }
    text.resize(kSize);
    return platform::Data(text.begin(), text.end());
  }();
  return data;
}

platform::Data rawDeflate(const platform::Data& input) {
  z_stream stream{};
  deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  platform::Data out(deflateBound(&stream, static_cast<uLong>(input.size())));
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

platform::Data rawInflate(const platform::Data& input, std::size_t size) {
  z_stream stream{};
  inflateInit2(&stream, 47);
  platform::Data out(size);
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  inflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  return out;
}

const platform::Data& compressed() {
  static const platform::Data data = rawDeflate(plain());
  return data;
}

void BM_RawDeflate(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(rawDeflate(plain()).data());
  state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_RawDeflate)->Unit(benchmark::kMillisecond);

void BM_GzipData(benchmark::State& state) {
  for (auto _ : state) {
    auto out = VULGzip::vul_dataByGzippingData(plain());
    if (!out) state.SkipWithError("compression failed");
    benchmark::DoNotOptimize(out->data());
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_GzipData)->Unit(benchmark::kMillisecond);

void BM_RawInflate(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(rawInflate(compressed(), kSize).data());
  state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_RawInflate)->Unit(benchmark::kMillisecond);

void BM_InflateData(benchmark::State& state) {
  for (auto _ : state) {
    auto out = VULGzip::vul_dataByInflatingGzippedData(compressed());
    if (!out || out->size() != kSize) state.SkipWithError("inflating failed");
    benchmark::DoNotOptimize(out->data());
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK(BM_InflateData)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const auto report = [&](const char* what, const std::string& ours, const std::string& raw) {
      const double t = r.time(ours);
      const double base = r.time(raw);
      std::printf("%s 1 MB: %.2f ms, raw zlib %.2f ms, ratio %.1f%% of zlib's time (target: at most 105%%)\n", what, t,
                  base, base > 0 ? 100.0 * t / base : 0.0);
    };
    report("gzip", "BM_GzipData", "BM_RawDeflate");
    report("inflate", "BM_InflateData", "BM_RawInflate");
  });
}
