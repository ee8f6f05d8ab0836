#include "sdk/utilities/utilities/vul_network_url_session.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "network_fixture.h"
#include "platform/foundation/file_manager.h"
#include "platform/runloop/clock.h"

namespace {

using network_testing::NetworkTest;
using network_testing::Outcome;
using platform::Data;
namespace fs = std::filesystem;

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }

// A file in the fetchers' temporary directory written `age` seconds ago by the platform clock.
fs::path makeTempFile(const fs::path& directory, const std::string& name, double age) {
  fs::create_directories(directory);
  const fs::path path = directory / name;
  EXPECT_TRUE(platform::FileManager::defaultManager().writeAtomically(path, std::string_view("old body")));
  const double when = platform::Clock::current().now().timeIntervalSince1970() - age;
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(when);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  return path;
}

std::vector<std::string> filesIn(const fs::path& directory) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(directory, ec)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class NetworkURLSessionTest : public NetworkTest {
 protected:
  fs::path directory() const { return VULNetworkURLSession::initWithNetworkLoggerDelegate({})->networkDirectoryURL(); }
};

TEST_F(NetworkURLSessionTest, BackgroundPostsStageTheirBodyInATemporaryFileUntilTheyComplete) {
  const auto dir = directory();
  EXPECT_TRUE(dir.string().ends_with("Library/Application Support/VUL/Network/VULNetworkTemporaryDirectory"))
      << dir;
  auto outcome = std::make_shared<Outcome>();
  auto id = network_->postURL(url(std::string(local_service::kNetworkSlowPrefix) + "1"), bytes("staged"), nullptr,
                              true, record(outcome));
  ASSERT_TRUE(id);
  EXPECT_EQ(filesIn(dir), std::vector<std::string>{"VULUpload_temp_" + *id});
  platform::testing::runUntilIdle();
  EXPECT_EQ(outcome->status(), 200);
  EXPECT_TRUE(filesIn(dir).empty());
  EXPECT_EQ(service_.requests().back().decodedBody, "staged");

  // In the foreground, and for any GET, nothing is written.
  for (bool usePost : {true, false}) {
    auto foreground = std::make_shared<Outcome>();
    if (usePost) {
      network_->postURL(url(local_service::kNetworkGzipSinkPath), bytes("memory"), nullptr, false, record(foreground));
    } else {
      network_->getURL(url(local_service::kNetworkTargetPath), std::nullopt, nullptr, true, record(foreground));
    }
    EXPECT_TRUE(filesIn(dir).empty());
    platform::testing::runUntilIdle();
    EXPECT_EQ(foreground->status(), 200);
  }
}

TEST_F(NetworkURLSessionTest, TemporaryFilesOlderThanAnHourAreRemovedByTheNextPost) {
  const auto dir = directory();
  makeTempFile(dir, "VULUpload_temp_expired", 3601);
  makeTempFile(dir, "VULUpload_temp_recent", 3500);
  auto outcome = post(url(local_service::kNetworkGzipSinkPath), bytes("x"));
  EXPECT_EQ(outcome->status(), 200);
  EXPECT_EQ(filesIn(dir), std::vector<std::string>{"VULUpload_temp_recent"});

  // Files left by a killed process expire with time too, at the next completion.
  platform::testing::advance(200);
  auto later = get(url(local_service::kNetworkTargetPath));
  EXPECT_EQ(later->status(), 200);
  EXPECT_TRUE(filesIn(dir).empty());
}

TEST_F(NetworkURLSessionTest, ABackgroundUploadSurvivesANewSessionForItsIdentifier) {
  auto outcome = std::make_shared<Outcome>();
  auto id = network_->postURL(url(std::string(local_service::kNetworkSlowPrefix) + "1"), bytes("survivor"), nullptr,
                              true, record(outcome));
  ASSERT_TRUE(id);
  const auto original = VULNetworkURLSession::sessionFromFetcherMapForSessionID(*id);
  ASSERT_TRUE(original);

  // The app is woken for the session's events while its upload is still running.
  int systemCalls = 0;
  VULNetwork::handleEventsForBackgroundURLSessionID(*id, [&] { ++systemCalls; });
  EXPECT_EQ(VULNetworkURLSession::fetcherWithSessionIdentifier(*id), original);
  // A fetcher made anew for the identifier replaces the entry; the running upload goes on.
  auto replacement = VULNetworkURLSession::initWithNetworkLoggerDelegate({});
  VULNetworkURLSession::setSessionInFetcherMap(replacement, *id);
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeURLSession019));
  EXPECT_EQ(VULNetworkURLSession::sessionFromFetcherMapForSessionID(*id), replacement);

  platform::testing::runUntilIdle();
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_EQ(outcome->status(), 200);
  EXPECT_EQ(systemCalls, 1);
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeURLSession003));
  EXPECT_FALSE(network_->hasUploadInProgress());
}

TEST_F(NetworkURLSessionTest, SystemCompletionBlocksAreKeptOnePerIdentifier) {
  auto fetcher = VULNetworkURLSession::initWithNetworkLoggerDelegate(logger_);
  std::vector<std::string> calls;
  fetcher->addSystemCompletionHandler([&] { calls.push_back("first"); }, "com.vul.network.background-upload-x");
  fetcher->addSystemCompletionHandler([&] { calls.push_back("second"); }, "com.vul.network.background-upload-x");
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeURLSession011));
  fetcher->addSystemCompletionHandler([&] { calls.push_back("unnamed"); }, "");
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeURLSession010));
  fetcher->addSystemCompletionHandler(nullptr, "com.vul.network.background-upload-y");
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeURLSession009));

  fetcher->callSystemCompletionHandler("");
  fetcher->callSystemCompletionHandler("com.vul.network.background-upload-x");
  fetcher->callSystemCompletionHandler("com.vul.network.background-upload-x");
  platform::testing::runUntilIdle();
  EXPECT_EQ(calls, std::vector<std::string>{"second"});

  // Another library's session is none of this client's business.
  int foreign = 0;
  VULNetwork::handleEventsForBackgroundURLSessionID("com.other.library.session", [&] { ++foreign; });
  EXPECT_EQ(VULNetworkURLSession::sessionFromFetcherMapForSessionID("com.other.library.session"), nullptr);
  fetcher->callSystemCompletionHandler("com.other.library.session");
  platform::testing::runUntilIdle();
  EXPECT_EQ(foreign, 0);
}

// The class-wide tables are used from every thread that starts or ends a request.
TEST(VULNetworkURLSessionStressTest, TheFetcherMapAndSystemBlocksUnderManyThreads) {
  std::atomic<int> called{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const std::string id = std::string(kVULNetworkBackgroundSessionPrefix) + "-" + std::to_string((t * 50 + i) % 7);
        auto fetcher = VULNetworkURLSession::initWithNetworkLoggerDelegate({});
        VULNetworkURLSession::setSessionInFetcherMap(fetcher, id);
        VULNetworkURLSession::handleEventsForBackgroundURLSessionID(id, [&] { ++called; });
        (void)VULNetworkURLSession::sessionFromFetcherMapForSessionID(id);
        fetcher->callSystemCompletionHandler(id);
        if (i % 2) VULNetworkURLSession::setSessionInFetcherMap(nullptr, id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  platform::testing::runUntilIdle();
  EXPECT_GT(called.load(), 0);
  EXPECT_LE(called.load(), 300);
}

}  // namespace
