#include "sdk/transport/core/vdtcor_console_logger.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/foundation/exception.h"
#include "platform/runtime/class.h"
#include "platform/testing/testing.h"

namespace transport_tests {
namespace {

TEST(VDTCORConsoleLoggerTest, OnlyLinesAtTheLoggingLevelOrAbovePrint) {
  platform::testing::LogCapture log;
  VDTCORLogDebug("hidden %d", 1);
  VDTCORLogWarning(kVDTCORMessageCodeReachability, "hidden too");
  VDTCORLogError(kVDTCORMessageCodeTransformer, "shown %@", "here");
  EXPECT_EQ(log.logs(), std::vector<std::string>{"[VidezuDataTransport][I-VDTCOR001000] shown here"});
}

TEST(VDTCORConsoleLoggerTest, AFailedAssertionPrintsWithItsPlaceAndTheCallerGoesOn) {
  platform::testing::LogCapture log;
  bool wentOn = false;
  VDTCORAssert(1 + 1 == 3, "Numbers are %@", "odd");
  wentOn = true;
  EXPECT_TRUE(wentOn);
  ASSERT_EQ(log.logs().size(), 1u);
  const std::string line = log.logs()[0];
  EXPECT_TRUE(line.starts_with("[VidezuDataTransport][I-VDTCOR001006] (vdtcor_console_logger_test.cpp:")) << line;
  EXPECT_TRUE(line.ends_with(") : Numbers are odd")) << line;
}

TEST(VDTCORConsoleLoggerTest, AnAssertHelperBlockReplacesTheLineAndTheFatalException) {
  int calls = 0;
  std::function<void()> block = [&calls] { ++calls; };
  platform::runtime::ClassDefinition helper;
  helper.name = "VDTCORAssertHelper";
  helper.classMethods.emplace("assertionBlock", platform::runtime::method([block] { return block; }));
  platform::runtime::registerClass(helper);
  platform::testing::LogCapture log;
  VDTCORAssert(false, "soft");
  EXPECT_NO_THROW(VDTCORFatalAssert(false, "fatal"));
  platform::runtime::unregisterClass("VDTCORAssertHelper");
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(log.logs().empty());
}

TEST(VDTCORConsoleLoggerTest, AFatalAssertionLogsAndRaises) {
  platform::testing::LogCapture log;
  try {
    VDTCORFatalAssert(false, "broken %d", 7);
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), platform::kInternalInconsistencyException);
    EXPECT_EQ(e.reason(), "broken 7");
  }
  EXPECT_TRUE(log.contains("[VidezuDataTransport][I-VDTCOR001007]"));
}

}  // namespace
}  // namespace transport_tests
