#include <gtest/gtest.h>
#include "platform/testing/testing.h"
#include "sdk/utilities/promises/vbl_promise.h"
#include "sdk/utilities/utilities/vul_logger.h"
namespace {
TEST(Probe, DeepChainDestroyed) {
  auto source = VBLPromise<int>::pendingPromise();
  auto current = source;
  for (int i = 0; i < 100000; ++i) current = current->then([](int v) { return v + 1; });
  current.reset();
  source.reset();
  EXPECT_TRUE(VBLPromiseBase::dispatchGroup()->wait(1));
}
TEST(Probe, DeepChainResolved) {
  auto source = VBLPromise<int>::pendingPromise();
  auto current = source;
  for (int i = 0; i < 100000; ++i) current = current->then([](int v) { return v + 1; });
  source->fulfill(0);
  platform::testing::runUntilIdle();
  EXPECT_EQ(current->value(), 100000);
}
TEST(Probe, LogNoArgs) {
  platform::testing::LogCapture c;
  VULLoggerResetForTesting();
  VULLoggerLogError("[T]", false, "I-TST000001", "100% of %d %@ %s");
  platform::testing::drain(VULLoggerQueue());
  for (auto& l : c.logs()) printf("LINE<%s>\n", l.c_str());
}
}
