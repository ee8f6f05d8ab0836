// Encoding and decoding a measurement bundle of 500 events with 10 parameters each, against
// protobuf-c on the same message (generated from the same schema) in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "analytics.pb-c.h"
#include "bench/support/measuring_reporter.h"
#include "sdk/analytics/messages/nano_accessors.h"

namespace {

constexpr int kEvents = 500;
constexpr int kParams = 10;

std::shared_ptr<APMPBMeasurementBundle> makeBundle() {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetInt32(bundle.get(), 0, 1);
  NANOSetString(bundle.get(), 8, "ios");
  NANOSetString(bundle.get(), 14, "com.example.focus");
  std::vector<std::shared_ptr<APMPBEvent>> events;
  for (int e = 0; e < kEvents; ++e) {
    auto event = APMPBEvent::initWithMessageInfo();
    NANOSetString(event.get(), 1, "event_" + std::to_string(e % 20));
    NANOSetInt64(event.get(), 2, 1700000000000 + e);
    std::vector<std::shared_ptr<APMPBEventParam>> params;
    for (int p = 0; p < kParams; ++p) {
      auto param = APMPBEventParam::initWithMessageInfo();
      NANOSetString(param.get(), 0, "param_" + std::to_string(p));
      if (p % 3 == 0) NANOSetString(param.get(), 1, "value of parameter " + std::to_string(p));
      if (p % 3 == 1) NANOSetInt64(param.get(), 2, 1000 * p + e);
      if (p % 3 == 2) NANOSetDouble(param.get(), 4, p * 1.25);
      params.push_back(param);
    }
    NANOSetArray(event.get(), 0, params);
    events.push_back(event);
  }
  NANOSetArray(bundle.get(), 1, events);
  return bundle;
}

const platform::Data& bundleBytes() {
  static const platform::Data bytes = *makeBundle()->protoBuffer();
  return bytes;
}

void BM_EncodeBundle(benchmark::State& state) {
  auto bundle = APMPBMeasurementBundle::initWithBuffer(bundleBytes());
  for (auto _ : state) {
    auto bytes = bundle->protoBuffer();
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bundleBytes().size()));
}
BENCHMARK(BM_EncodeBundle)->Unit(benchmark::kMicrosecond);

void BM_ProtobufCEncodeBundle(benchmark::State& state) {
  auto* bundle = focus__analytics__measurement_bundle__unpack(nullptr, bundleBytes().size(), bundleBytes().data());
  for (auto _ : state) {
    // What an encoder to a fresh buffer does: size, allocate, write.
    platform::Data bytes(focus__analytics__measurement_bundle__get_packed_size(bundle));
    focus__analytics__measurement_bundle__pack(bundle, bytes.data());
    benchmark::DoNotOptimize(bytes);
  }
  focus__analytics__measurement_bundle__free_unpacked(bundle, nullptr);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bundleBytes().size()));
}
BENCHMARK(BM_ProtobufCEncodeBundle)->Unit(benchmark::kMicrosecond);

void BM_DecodeBundle(benchmark::State& state) {
  for (auto _ : state) {
    auto bundle = APMPBMeasurementBundle::initWithBuffer(bundleBytes());
    if (!bundle) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bundle);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bundleBytes().size()));
}
BENCHMARK(BM_DecodeBundle)->Unit(benchmark::kMicrosecond);

void BM_ProtobufCDecodeBundle(benchmark::State& state) {
  for (auto _ : state) {
    auto* bundle = focus__analytics__measurement_bundle__unpack(nullptr, bundleBytes().size(), bundleBytes().data());
    if (!bundle) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bundle);
    focus__analytics__measurement_bundle__free_unpacked(bundle, nullptr);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bundleBytes().size()));
}
BENCHMARK(BM_ProtobufCDecodeBundle)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double encode = r.time("BM_EncodeBundle"), baseEncode = r.time("BM_ProtobufCEncodeBundle");
    const double decode = r.time("BM_DecodeBundle"), baseDecode = r.time("BM_ProtobufCDecodeBundle");
    if (encode > 0 && baseEncode > 0) std::printf("bundle encode / protobuf-c encode: %.2fx\n", encode / baseEncode);
    if (decode > 0 && baseDecode > 0) std::printf("bundle decode / protobuf-c decode: %.2fx\n", decode / baseDecode);
  });
}
