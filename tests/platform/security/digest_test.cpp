#include "platform/security/digest.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/foundation/data_encoding.h"
#include "platform/net/url_session.h"
#include "platform/testing/child_process.h"

namespace platform {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(DigestTest, KnownDigestsOfAText) {
  EXPECT_EQ(DataEncoding::hexEncode(Digest::md5(bytesOf("abc"))), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(DataEncoding::hexEncode(Digest::sha1(bytesOf("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(DataEncoding::hexEncode(Digest::sha256(bytesOf(""))),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// A worker still hashing or drawing random bytes while the process exits finds OpenSSL whole: the
// library is set up without the clean-up it would otherwise run at exit. A fresh copy of this
// binary does both on a thread of its own while it exits, which fails (or crashes) when it is not.
TEST(DigestExitTest, ChildHashesAndDrawsRandomBytesWhileExiting) {
  if (!testing::isExitTestChild()) GTEST_SKIP() << "runs only as the child of the exit test";
  testing::exitWhileUsingOnAThread([] {
    std::array<std::uint8_t, 16> random{};
    return Digest::sha1(bytesOf("abc"))[0] == 0xa9 && Digest::md5(bytesOf("abc"))[0] == 0x90 &&
           SecureRandom::fill(random);
  });
}

TEST(DigestExitTest, DigestsAndRandomBytesStayUsableWhileTheProcessExits) {
  EXPECT_EQ(testing::runExitTestChild("DigestExitTest.ChildHashesAndDrawsRandomBytesWhileExiting"), "");
}

// libcurl sets OpenSSL up when the first task starts; a worker hashing (as TLS would) while the
// process exits must still find OpenSSL whole afterwards. A fresh copy of this binary starts a task
// (to a closed port) and hashes on a thread of its own while it exits. (A binary that also loads
// the local service's HTTP library cannot show it: that library sets OpenSSL up as it loads.)
TEST(DigestExitTest, ChildHashesAfterAURLSessionTaskStartedWhileExiting) {
  if (!testing::isExitTestChild()) GTEST_SKIP() << "runs only as the child of the exit test";
  URLSession::sharedSession()->dataTaskWithRequest(URLRequest("http://127.0.0.1:1/", 1))->resume();
  testing::exitWhileUsingOnAThread([] { return Digest::sha1(bytesOf("abc"))[0] == 0xa9; });
}

TEST(DigestExitTest, OpenSSLStaysWholeWhileTheProcessExitsAfterAURLSessionTaskStarted) {
  EXPECT_EQ(testing::runExitTestChild("DigestExitTest.ChildHashesAfterAURLSessionTaskStartedWhileExiting"), "");
}

}  // namespace
}  // namespace platform
