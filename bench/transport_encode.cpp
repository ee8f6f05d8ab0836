// Encoding a batched upload request of 1,000 events of 200 bytes through the uploader's encoder,
// against nanopb encoding the same fields (payload, time, zone, uptime per event; source and
// times per request) with a minimal hand-written table in the same run.
#include <benchmark/benchmark.h>
#include <pb_encode.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "bench/support/measuring_reporter.h"
#include "sdk/transport/cct/vdtcct_messages.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_event.h"

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

// ---- The baseline: the same fields with a table of its own ----

struct RawEvent {
  int64_t time;
  pb_callback_t payload;
  int64_t zone;
  int64_t uptime;
};
#define RawEvent_FIELDLIST(X, a)                 \
  X(a, STATIC, SINGULAR, INT64, time, 1)         \
  X(a, CALLBACK, SINGULAR, BYTES, payload, 6)    \
  X(a, STATIC, SINGULAR, SINT64, zone, 15)       \
  X(a, STATIC, SINGULAR, INT64, uptime, 17)
#define RawEvent_CALLBACK pb_default_field_callback
#define RawEvent_DEFAULT NULL

struct RawRequest {
  int32_t source;
  pb_callback_t events;
  int64_t time;
  int64_t uptime;
};
#define RawRequest_FIELDLIST(X, a)                 \
  X(a, STATIC, SINGULAR, INT32, source, 2)         \
  X(a, CALLBACK, REPEATED, MESSAGE, events, 3)     \
  X(a, STATIC, SINGULAR, INT64, time, 4)           \
  X(a, STATIC, SINGULAR, INT64, uptime, 8)
#define RawRequest_CALLBACK pb_default_field_callback
#define RawRequest_DEFAULT NULL
#define RawRequest_events_MSGTYPE RawEvent

struct RawBatch {
  pb_callback_t requests;
};
#define RawBatch_FIELDLIST(X, a) X(a, CALLBACK, REPEATED, MESSAGE, requests, 1)
#define RawBatch_CALLBACK pb_default_field_callback
#define RawBatch_DEFAULT NULL
#define RawBatch_requests_MSGTYPE RawRequest

}  // namespace

PB_BIND(RawEvent, RawEvent, AUTO)
PB_BIND(RawRequest, RawRequest, AUTO)
PB_BIND(RawBatch, RawBatch, AUTO)

namespace {

bool rawPayload(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* bytes = static_cast<const platform::Data*>(*arg);
  return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, bytes->data(), bytes->size());
}

bool rawEvents(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  for (const auto& event : *static_cast<const std::vector<std::shared_ptr<VDTCOREvent>>*>(*arg)) {
    const auto& clock = *event->clockSnapshot();
    RawEvent message{clock.timeMillis(), {}, clock.timezoneOffsetSeconds(), clock.uptimeMilliseconds()};
    message.payload.funcs.encode = &rawPayload;
    message.payload.arg = const_cast<platform::Data*>(&*event->serializedDataObjectBytes());
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, &RawEvent_msg, &message)) return false;
  }
  return true;
}

bool rawRequests(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto clock = VDTCORClock::snapshot();
  for (const auto& input : *static_cast<const std::vector<VDTCCTLogRequestInput>*>(*arg)) {
    RawRequest message{137, {}, clock->timeMillis(), clock->uptimeMilliseconds()};
    message.events.funcs.encode = &rawEvents;
    message.events.arg = const_cast<std::vector<std::shared_ptr<VDTCOREvent>>*>(&input.events);
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, &RawRequest_msg, &message)) {
      return false;
    }
  }
  return true;
}

void BM_RawNanopbEncode(benchmark::State& state) {
  for (auto _ : state) {
    RawBatch batch{};
    batch.requests.funcs.encode = &rawRequests;
    batch.requests.arg = const_cast<std::vector<VDTCCTLogRequestInput>*>(&requests());
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    pb_encode(&sizing, &RawBatch_msg, &batch);
    platform::Data data(sizing.bytes_written);
    pb_ostream_t stream = pb_ostream_from_buffer(data.data(), data.size());
    if (!pb_encode(&stream, &RawBatch_msg, &batch)) state.SkipWithError("encoding failed");
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
