#include "sdk/crash/context/rlz_host.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/foundation/home.h"
#include "platform/mach/sysctl.h"
#include "sdk/crash/records/rlz_context_state.h"

namespace {

class RLZHostTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::mach::resetSysctlForTesting(); }
};

TEST_F(RLZHostTest, ThePageSizeIsKeptBetweenFourAndSixteenKiB) {
  struct Case {
    std::optional<std::string> answer;
    size_t expected;
  };
  const Case cases[] = {
      {"1024", 4096}, {"4096", 4096}, {"8192", 8192}, {"16384", 16384}, {"65536", 16384},
      {"-1", 4096},   {std::nullopt, 16384},  // a failed query
  };
  for (const auto& c : cases) {
    platform::mach::setSysctlForTesting(platform::mach::kSysctlHardwarePageSize, c.answer);
    EXPECT_EQ(RLZHostGetPageSize(), c.expected) << c.answer.value_or("(fails)");
  }
  platform::mach::resetSysctlForTesting();
  EXPECT_EQ(RLZHostGetPageSize(), static_cast<size_t>(sysconf(_SC_PAGESIZE)));
}

TEST_F(RLZHostTest, OnlyATranslatedAnswerOfOneCountsAsTranslated) {
  EXPECT_FALSE(RLZHostIsRosettaTranslated()) << "an unknown entry";
  platform::mach::setSysctlForTesting(platform::mach::kSysctlProcTranslated, "1");
  EXPECT_TRUE(RLZHostIsRosettaTranslated());
  platform::mach::setSysctlForTesting(platform::mach::kSysctlProcTranslated, "0");
  EXPECT_FALSE(RLZHostIsRosettaTranslated());
  platform::mach::setSysctlForTesting(platform::mach::kSysctlProcTranslated, std::nullopt);
  EXPECT_FALSE(RLZHostIsRosettaTranslated());
}

TEST_F(RLZHostTest, InitializeRecordsThePageSizeAndTheDocumentsDirectory) {
  RLZHostReadOnlyContext host{};
  RLZHostInitialize(&host);
  EXPECT_EQ(host.pageSize, static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
  ASSERT_NE(host.documentDirectoryPath, nullptr);
  EXPECT_EQ(std::string(host.documentDirectoryPath), platform::Home::documents().string());
  // Outside a crash context the copy comes from the ordinary heap.
  free(const_cast<char*>(host.documentDirectoryPath));
}

}  // namespace
