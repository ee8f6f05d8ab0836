#include "sdk/core/core/vdz_heartbeat_info.h"

#include <gtest/gtest.h>

#include "platform/testing/testing.h"

namespace {

TEST(VDZHeartbeatInfoTest, HeartbeatsAreDueOncePerDayPerTagAndForTheProcess) {
  const auto clock = platform::testing::useManualClock();
  EXPECT_EQ(VDZHeartbeatInfo::heartbeatCodeForTag("vud-install"), VDZHeartbeatInfoCodeCombined);
  EXPECT_EQ(VDZHeartbeatInfo::heartbeatCodeForTag("vud-install"), VDZHeartbeatInfoCodeNone);
  EXPECT_EQ(VDZHeartbeatInfo::heartbeatCodeForTag("vuduzara-ralitoze"), VDZHeartbeatInfoCodeSDK);

  clock->move(86399);
  EXPECT_EQ(VDZHeartbeatInfo::heartbeatCodeForTag("vud-install"), VDZHeartbeatInfoCodeNone);
  clock->move(1);
  EXPECT_EQ(VDZHeartbeatInfo::heartbeatCodeForTag("vud-install"), VDZHeartbeatInfoCodeCombined);
  EXPECT_EQ(VDZHeartbeatInfo::heartbeatCodeForTag("vuduzara-ralitoze"), VDZHeartbeatInfoCodeSDK);
}

TEST(VDZHeartbeatInfoTest, AStoredDateInTheFutureCountsAsRecent) {
  const auto clock = platform::testing::useManualClock();
  const platform::Date start = clock->now();
  ASSERT_TRUE(VDZHeartbeatInfo::updateIfNeededHeartbeatDateForTag("tag"));
  clock->setDate(start.addingTimeInterval(-3 * 86400));  // the device's clock moved back
  EXPECT_FALSE(VDZHeartbeatInfo::updateIfNeededHeartbeatDateForTag("tag"));
}

}  // namespace
