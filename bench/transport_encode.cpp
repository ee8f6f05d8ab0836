// Encoding a batched upload request of 1,000 events of 200 bytes through the uploader's encoder,
// against nanopb encoding the same fields (payload, time, zone, uptime per event; source and
// times per request) of the same generated messages, filled directly, in the same run.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench/support/measuring_reporter.h"
#include "sdk/transport/cct/cct_messages.pb.h"
#include "sdk/transport/cct/vdtcct_messages.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/utilities/wire/wire_codec.h"

namespace {

constexpr int kEvents = 1000;
constexpr std::size_t kPayloadSize = 200;

std::vector<VDTCCTLogRequestInput> makeRequests() {
  VDTCCTLogRequestInput input{"137", {}};
  for (int i = 0; i < kEvents; ++i) {
    auto event = VDTCOREvent::initWithMappingID("137", kVDTCORTargetCSH);
    event->setSerializedDataObjectBytes(platform::Data(kPayloadSize, static_cast<std::uint8_t>(i)));
    event->setClockSnapshot(VDTCORClock::snapshot());
    input.events.push_back(std::move(event));
  }
  return {std::move(input)};
}

const std::vector<VDTCCTLogRequestInput>& requests() {
  static const auto r = makeRequests();
  return r;
}

// ---- The baseline: the same fields of the same generated messages, filled directly ----

void rawEvent(const std::shared_ptr<VDTCOREvent>& event, CctLogEvent& message) {
  const auto& clock = *event->clockSnapshot();
  message.has_event_time_ms = true;
  message.event_time_ms = clock.timeMillis();
  message.source_extension = wire::bytesField(*event->serializedDataObjectBytes());
  message.has_timezone_offset_seconds = true;
  message.timezone_offset_seconds = clock.timezoneOffsetSeconds();
  message.has_event_uptime_ms = true;
  message.event_uptime_ms = clock.uptimeMilliseconds();
}

void rawRequest(const VDTCCTLogRequestInput& input, CctLogRequest& message) {
  const auto clock = VDTCORClock::snapshot();
  message.has_log_source = true;
  message.log_source = 137;
  message.log_event = wire::repeatedMessages<&rawEvent>(input.events);
  message.has_request_time_ms = true;
  message.request_time_ms = clock->timeMillis();
  message.has_request_uptime = true;
  message.request_uptime = clock->uptimeMilliseconds();
}

void BM_RawNanopbEncode(benchmark::State& state) {
  for (auto _ : state) {
    CctBatchedLogRequest batch{};
    batch.log_request = wire::repeatedMessages<&rawRequest>(requests());
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    pb_encode(&sizing, &CctBatchedLogRequest_msg, &batch);
    platform::Data data(sizing.bytes_written);
    pb_ostream_t stream = pb_ostream_from_buffer(data.data(), data.size());
    if (!pb_encode(&stream, &CctBatchedLogRequest_msg, &batch)) state.SkipWithError("encoding failed");
    benchmark::DoNotOptimize(data.data());
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_RawNanopbEncode)->Unit(benchmark::kMicrosecond);

void BM_TransportEncode(benchmark::State& state) {
  const auto info = VDTCCTIosClientInfo::current();
  for (auto _ : state) {
    auto data = VDTCCTEncodeBatchedLogRequest(requests(), info);
    benchmark::DoNotOptimize(data.data());
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_TransportEncode)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double transport = r.rate("BM_TransportEncode");
    const double raw = r.rate("BM_RawNanopbEncode");
    std::printf("transport encoding: %.0f events/s, raw nanopb: %.0f events/s, ratio %.0f%% (target: at least 90%%)\n",
                transport, raw, raw > 0 ? 100.0 * transport / raw : 0.0);
  });
}
