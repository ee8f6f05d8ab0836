#include "sdk/transport/core/vdtcor_transport.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "sdk/transport/core/vdtcor_event_transformer.h"
#include "sdk/transport/core/vdtcor_platform.h"
#include "sdk/transport/core/vdtcor_storage_event_selector.h"
#include "transport_fixture.h"

namespace transport_tests {
namespace {

// Records each event it sees and hands back what its block makes of it.
class BlockTransformer final : public VDTCOREventTransformer {
 public:
  explicit BlockTransformer(std::function<std::shared_ptr<VDTCOREvent>(const std::shared_ptr<VDTCOREvent>&)> block)
      : block_(std::move(block)) {}
  std::shared_ptr<VDTCOREvent> transformVDTEvent(const std::shared_ptr<VDTCOREvent>& event) override {
    ++calls;
    return block_(event);
  }
  int calls = 0;

 private:
  std::function<std::shared_ptr<VDTCOREvent>(const std::shared_ptr<VDTCOREvent>&)> block_;
};

struct Outcome {
  bool called = false;
  bool written = false;
  platform::Error error;
};

class VDTCORTransportTest : public TransportTest {
 protected:
  static std::shared_ptr<Outcome> send(VDTCORTransport& transport, const std::shared_ptr<VDTCOREvent>& event,
                                       bool telemetry = false) {
    auto outcome = std::make_shared<Outcome>();
    auto completion = [outcome](bool written, const platform::Error& error) {
      *outcome = Outcome{true, written, error};
    };
    telemetry ? transport.sendTelemetryEvent(event, completion) : transport.sendDataEvent(event, completion);
    return outcome;
  }
  static std::vector<std::string> storedNames(VDTCORTarget target) {
    return fileNames(targetDirectory(target));
  }
};

TEST_F(VDTCORTransportTest, OnlyAMappingIDAndAPositiveTargetMakeATransport) {
  struct Case {
    std::string mappingID;
    VDTCORTarget target;
    bool valid;
  };
  for (const Case& c : {Case{"", 1001, false}, Case{"137", 0, false}, Case{"137", -3, false}, Case{"1", 1, true}}) {
    auto transport = VDTCORTransport::initWithMappingID(c.mappingID, {}, c.target);
    EXPECT_EQ(transport != nullptr, c.valid) << c.mappingID << " " << c.target;
  }
  auto transport = VDTCORTransport::initWithMappingID("1206", {}, 1002);
  auto event = transport->eventForTransport();
  EXPECT_EQ(event->mappingID(), "1206");
  EXPECT_EQ(event->target(), 1002);
  EXPECT_EQ(transport->transformerInstance(), VDTCORTransformer::sharedInstance());
}

TEST_F(VDTCORTransportTest, ASendCompletesOnceTheEventFileIsWrittenAndTheCallersObjectStaysItsOwn) {
  auto transport = VDTCORTransport::initWithMappingID("1206", {}, 1002);
  auto event = makeEvent("1206", 1002, 3, "report");
  auto outcome = send(*transport, event);
  // Changing the caller's object after the call changes nothing stored.
  event->setQosTier(5);
  event->setSerializedDataObjectBytes(bytesOf("changed"));
  platform::testing::runUntilIdle();

  EXPECT_TRUE(outcome->called);
  EXPECT_TRUE(outcome->written);
  EXPECT_FALSE(outcome->error.isSet());
  auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002));
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  const auto& stored = *events->begin();
  EXPECT_EQ(stored->eventID(), event->eventID());
  EXPECT_EQ(stored->qosTier(), 3);
  EXPECT_EQ(stored->serializedDataObjectBytes(), bytesOf("report"));
  EXPECT_TRUE(stored->clockSnapshot());
  EXPECT_EQ(app_->openBackgroundTaskCount(), 0u);
}

TEST_F(VDTCORTransportTest, TelemetrySendsSetTierOneAndDataSendsOfTierOneStillStore) {
  auto transport = VDTCORTransport::initWithMappingID("137", {}, 1001);
  auto telemetry = makeEvent("137", 1001, 3);
  send(*transport, telemetry, true);
  EXPECT_EQ(telemetry->qosTier(), 1);

  platform::testing::LogCapture log;
  auto data = makeEvent("137", 1001, 1);
  auto outcome = send(*transport, data);
  platform::testing::runUntilIdle();
  EXPECT_TRUE(log.contains("Use -sendTelemetryEvent, please."));
  EXPECT_TRUE(outcome->written);
  for (const auto& name : storedNames(1001)) EXPECT_EQ(name.substr(33, 2), "1-") << name;
  EXPECT_EQ(storedNames(1001).size(), 2u);
}

TEST_F(VDTCORTransportTest, TransformersRunInOrderAndCanDropTheEvent) {
  auto first = std::make_shared<BlockTransformer>([](const std::shared_ptr<VDTCOREvent>& e) {
    e->setCustomBytes(bytesOf("first"));
    return e;
  });
  auto dropper = std::make_shared<BlockTransformer>([](const std::shared_ptr<VDTCOREvent>&) { return nullptr; });
  auto never = std::make_shared<BlockTransformer>([](const std::shared_ptr<VDTCOREvent>& e) { return e; });

  struct Case {
    const char* name;
    std::vector<std::shared_ptr<VDTCOREventTransformer>> transformers;
    bool written;
    bool errorLine;
  };
  const std::vector<Case> cases = {
      {"kept", {first, never}, true, false},
      {"dropped", {first, dropper, never}, false, false},
      {"no transform method", {first, nullptr, never}, false, true},
  };
  for (const Case& c : cases) {
    restart();
    never->calls = 0;
    platform::testing::LogCapture log;
    auto transport = VDTCORTransport::initWithMappingID("137", c.transformers, 1001);
    auto outcome = send(*transport, makeEvent("137", 1001));
    platform::testing::runUntilIdle();
    EXPECT_TRUE(outcome->called) << c.name;
    EXPECT_EQ(outcome->written, c.written) << c.name;
    EXPECT_FALSE(outcome->error.isSet()) << c.name;
    EXPECT_EQ(never->calls, c.written ? 1 : 0) << c.name;
    EXPECT_EQ(storedNames(1001).size(), c.written ? 1u : 0u) << c.name;
    EXPECT_EQ(log.contains("[VidezuDataTransport][I-VDTCOR001000] Transformer doesn't implement transformVDTEvent:"),
              c.errorLine)
        << c.name;
    EXPECT_EQ(app_->openBackgroundTaskCount(), 0u) << c.name;
    // What is stored is what the transformers made of the event.
    for (const auto& name : storedNames(1001)) {
      platform::Error error;
      auto stored = VDTCORUnarchiveObject<VDTCOREvent>(kVDTCOREventClassName, targetDirectory(1001) / name, &error);
      ASSERT_TRUE(stored) << c.name << ": " << error.description();
      EXPECT_EQ(stored->customBytes(), bytesOf("first")) << c.name;
    }
    std::filesystem::remove_all(targetDirectory(1001));
  }
}

// The process's peak resident size, in bytes.
std::uint64_t peakResidentBytes() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

TEST_F(VDTCORTransportTest, AnEventTooLargeToStoreIsRefusedWithoutCopiesOfItsPayload) {
  constexpr std::size_t kPayload = 50'000'000;
  auto transport = VDTCORTransport::initWithMappingID("137", {}, 1001);
  auto event = transport->eventForTransport();
  event->setSerializedDataObjectBytes(platform::Data(kPayload, 0x5a));
  auto delegate = std::make_shared<RecordingDelegate>();
  storage()->setDelegate(delegate);

  const std::uint64_t before = peakResidentBytes();
  auto outcome = send(*transport, event);
  platform::testing::runUntilIdle();
  const std::uint64_t growth = peakResidentBytes() - before;

  EXPECT_FALSE(outcome->written);
  EXPECT_EQ(outcome->error.domain(), kVDTCORFlatFileStorageErrorDomain);
  EXPECT_EQ(outcome->error.code(), kVDTCORFlatFileStorageEventTooLargeErrorCode);
  // Refused, not dropped: the producer still holds it.
  EXPECT_TRUE(delegate->dropped.empty());
  EXPECT_TRUE(storedNames(1001).empty());
  // One more copy of the payload anywhere on the way would show as 50 MB.
  EXPECT_LT(growth, kPayload / 2) << growth;
}

TEST_F(VDTCORTransportTest, AnEventForATargetWithoutStorageFailsAtOnceAndEndsItsBackgroundTask) {
  auto transport = VDTCORTransport::initWithMappingID("x", {}, 1);
  auto outcome = send(*transport, makeEvent("x", 1));
  platform::testing::runUntilIdle();
  EXPECT_TRUE(outcome->called);
  EXPECT_FALSE(outcome->written);
  EXPECT_EQ(outcome->error.domain(), kVDTCORTransformerErrorDomain);
  EXPECT_EQ(app_->openBackgroundTaskCount(), 0u);
}

TEST_F(VDTCORTransportTest, EventsSentFromOneThreadAreStoredInSendOrder) {
  auto transport = VDTCORTransport::initWithMappingID("137", {}, 1001);
  auto order = std::make_shared<std::vector<std::string>>();
  std::vector<std::string> sent;
  for (int i = 0; i < 20; ++i) {
    auto event = makeEvent("137", 1001);
    sent.push_back(event->eventID());
    transport->sendDataEvent(event, [order, id = event->eventID()](bool written, const platform::Error&) {
      if (written) order->push_back(id);
    });
  }
  platform::testing::runUntilIdle();
  EXPECT_EQ(*order, sent);
}

TEST_F(VDTCORTransportTest, BackgroundTasksCoverAnEventInFlightAndEndWhenItIsStored) {
  // The storage queue is held, so the event stays in flight.
  auto gate = std::make_shared<platform::DispatchSemaphore>(0);
  storage()->storageQueue()->async([gate] { gate->wait(); });
  auto transport = VDTCORTransport::initWithMappingID("137", {}, 1001);
  auto outcome = send(*transport, makeEvent("137", 1001));
  platform::testing::drain(VDTCORTransformer::sharedInstance()->eventWritingQueue());
  EXPECT_EQ(app_->openBackgroundTaskCount(), 2u);  // the transformer's and the storage's
  gate->signal();
  platform::testing::runUntilIdle();
  EXPECT_TRUE(outcome->written);
  EXPECT_EQ(app_->openBackgroundTaskCount(), 0u);
}

TEST_F(VDTCORTransportTest, TerminationWaitsForEventsAlreadySent) {
  auto transport = VDTCORTransport::initWithMappingID("137", {}, 1001);
  for (int i = 0; i < 5; ++i) transport->sendDataEvent(makeEvent("137", 1001));
  platform::UIDriver::terminate();
  EXPECT_EQ(storedNames(1001).size(), 5u);
}

}  // namespace
}  // namespace transport_tests
