// The response rules, the URL builder and the multipart encoder, without a network.
#include <gtest/gtest.h>

#include <cmath>

#include "crash_test_support.h"
#include "platform/foundation/output_stream.h"
#include "platform/net/url_session.h"
#include "platform/testing/testing.h"
#include "sdk/crash/network/rlz_multipart_mime_stream_encoder.h"
#include "sdk/crash/network/rlz_network_response_handler.h"
#include "sdk/crash/network/rlz_tsm_network_client.h"
#include "sdk/crash/network/rlz_url_builder.h"

namespace {

using platform::HTTPURLResponse;
using platform::URLRequest;

HTTPURLResponse response(std::int64_t status, std::vector<std::pair<std::string, std::string>> headers = {}) {
  return HTTPURLResponse("https://settings.example.invalid/x", status, std::move(headers));
}

URLRequest request(std::optional<std::string> accept, std::optional<std::string> charset) {
  URLRequest request("https://settings.example.invalid/x");
  if (accept) request.setValueForHTTPHeaderField(*accept, "Accept");
  if (charset) request.setValueForHTTPHeaderField(*charset, "Accept-Charset");
  return request;
}

TEST(RLZNetworkResponseHandlerTest, StatusClasses) {
  struct Case {
    std::int64_t status;
    RLZNetworkClientResponseType type;
  };
  const Case cases[] = {
      {200, RLZNetworkClientResponseSuccess}, {201, RLZNetworkClientResponseSuccess},
      {204, RLZNetworkClientResponseSuccess}, {304, RLZNetworkClientResponseSuccess},
      {203, RLZNetworkClientResponseFailure}, {302, RLZNetworkClientResponseFailure},
      {400, RLZNetworkClientResponseInvalid}, {404, RLZNetworkClientResponseInvalid},
      {419, RLZNetworkClientResponseInvalid}, {431, RLZNetworkClientResponseInvalid},
      {405, RLZNetworkClientResponseFailure}, {420, RLZNetworkClientResponseBackOff},
      {429, RLZNetworkClientResponseBackOff}, {408, RLZNetworkClientResponseRetry},
      {500, RLZNetworkClientResponseRetry},   {599, RLZNetworkClientResponseRetry},
      {600, RLZNetworkClientResponseFailure}, {100, RLZNetworkClientResponseFailure},
  };
  for (const auto& c : cases) {
    const auto r = response(c.status);
    RLZNetworkResponseHandler::clientResponseType(&r, [&](RLZNetworkClientResponseType type, std::int64_t status) {
      EXPECT_EQ(type, c.type) << c.status;
      EXPECT_EQ(status, c.status);
    });
  }
  bool called = false;
  RLZNetworkResponseHandler::clientResponseType(nullptr, [&](RLZNetworkClientResponseType type, std::int64_t status) {
    called = true;
    EXPECT_EQ(type, RLZNetworkClientResponseFailure);
    EXPECT_EQ(status, 0);
  });
  EXPECT_TRUE(called);
}

TEST(RLZNetworkResponseHandlerTest, DecisionsAndTheirErrors) {
  struct Case {
    std::int64_t status;
    std::string contentType;
    bool retry;
    std::int64_t code;  // 0: no error
  };
  const Case cases[] = {
      {200, "application/json; charset=UTF-8", false, 0},
      {200, "text/html", false, kRLZNetworkErrorFailedResponse},
      {404, "application/json", false, kRLZNetworkErrorClientError},
      {405, "application/json", false, kRLZNetworkErrorFailedResponse},
      {503, "application/json", true, kRLZNetworkErrorRetryable},
      {429, "", true, kRLZNetworkErrorRetryable},
  };
  const auto accepting = request("application/json", "utf-8");
  for (const auto& c : cases) {
    std::vector<std::pair<std::string, std::string>> headers{{"X-Request-Id", "req-7"}};
    if (!c.contentType.empty()) headers.emplace_back("Content-Type", c.contentType);
    const auto r = response(c.status, headers);
    int calls = 0;
    RLZNetworkResponseHandler::handleCompletedResponse(&r, accepting, platform::Error(),
                                                       [&](bool retry, const platform::Error& error) {
                                                         ++calls;
                                                         EXPECT_EQ(retry, c.retry) << c.status;
                                                         EXPECT_EQ(error.code(), c.code) << c.status;
                                                         if (!c.code) {
                                                           EXPECT_FALSE(error);
                                                           return;
                                                         }
                                                         EXPECT_EQ(error.domain(), "RLZNetworkError");
                                                         const auto& info = error.userInfo();
                                                         EXPECT_EQ(info.at("status_code"), platform::Value(c.status));
                                                         EXPECT_EQ(info.at("request_id"), platform::Value("req-7"));
                                                         EXPECT_EQ(info.at("content_type"), platform::Value(c.contentType));
                                                       });
    EXPECT_EQ(calls, 1);
  }
  // A transport error passes through unchanged; whether it is retried depends on its code.
  const platform::Error offline(std::string(platform::kURLErrorDomain), -1009);
  RLZNetworkResponseHandler::handleCompletedResponse(nullptr, accepting, offline,
                                                     [&](bool retry, const platform::Error& error) {
                                                       EXPECT_TRUE(retry);
                                                       EXPECT_EQ(error.code(), -1009);
                                                       EXPECT_EQ(error.domain(), platform::kURLErrorDomain);
                                                     });
}

TEST(RLZNetworkResponseHandlerTest, RetryableTransportErrors) {
  for (std::int64_t code : {-1, -999, -1001, -1004, -1005, -1009, -1102, -1011, -1199, -1207}) {
    EXPECT_TRUE(RLZNetworkResponseHandler::retryableURLError(platform::Error(std::string(platform::kURLErrorDomain), code)))
        << code;
  }
  for (std::int64_t code : {-1022, -1013, -1012, -1010, -1007, -1002, -1000, -995, -1200, -1202, -1206, -1103,
                            -1101, -1100}) {
    EXPECT_FALSE(RLZNetworkResponseHandler::retryableURLError(platform::Error(std::string(platform::kURLErrorDomain), code)))
        << code;
  }
  EXPECT_FALSE(RLZNetworkResponseHandler::retryableURLError(platform::Error("NSPOSIXErrorDomain", -1009)));
}

TEST(RLZNetworkResponseHandlerTest, ContentTypeMatch) {
  struct Case {
    std::optional<std::string> accept, charset, contentType;
    bool matches;
  };
  const Case cases[] = {
      {std::nullopt, "utf-8", "text/html", true},
      {"application/json", "utf-8", std::nullopt, false},
      {"application/json", "utf-8", "application/json", true},
      {"application/json", "utf-8", "Application/JSON; charset=UTF-8", true},
      {"application/json", "utf-8", "application/json; charset=latin1", false},
      {"application/json", std::nullopt, "application/json; charset=latin1", true},
      {"application/json", "utf-8", "application/json;charset=utf-8", false},
      {"application/json", "utf-8", "text/html; charset=utf-8", false},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<std::string, std::string>> headers;
    if (c.contentType) headers.emplace_back("Content-Type", *c.contentType);
    const auto r = response(200, headers);
    EXPECT_EQ(RLZNetworkResponseHandler::contentTypeForResponseMatchesRequest(&r, request(c.accept, c.charset)),
              c.matches)
        << c.contentType.value_or("(none)");
  }
  EXPECT_FALSE(RLZNetworkResponseHandler::contentTypeForResponseMatchesRequest(nullptr, request("a/b", std::nullopt)));
}

TEST(RLZNetworkResponseHandlerTest, RetryAfterAndBackoff) {
  const std::pair<std::optional<std::string>, double> cases[] = {
      {std::nullopt, 2.0}, {"10", 10.0}, {"0.5", 0.5}, {"-3", 2.0}, {"soon", 2.0}, {"inf", 2.0}, {"nan", 2.0},
  };
  for (const auto& [header, seconds] : cases) {
    std::vector<std::pair<std::string, std::string>> headers;
    if (header) headers.emplace_back("Retry-After", *header);
    const auto r = response(503, headers);
    EXPECT_EQ(RLZNetworkResponseHandler::retryValueForResponse(&r), seconds) << header.value_or("(none)");
  }
  // base = max(Retry-After, 2), exponent = max(tries, 1), jitter in [0.9, 1.1).
  const struct {
    std::optional<std::string> retryAfter;
    unsigned tries;
    double nominal;
  } delays[] = {{std::nullopt, 0, 2}, {std::nullopt, 1, 2}, {std::nullopt, 2, 4}, {std::nullopt, 3, 8},
                {"0.5", 1, 2},        {"10", 0, 10},        {"10", 2, 100}};
  for (const auto& d : delays) {
    std::vector<std::pair<std::string, std::string>> headers;
    if (d.retryAfter) headers.emplace_back("Retry-After", *d.retryAfter);
    const auto r = response(503, headers);
    for (int i = 0; i < 50; ++i) {
      const double delay = RLZTSMNetworkClient::computeDelayForResponse(&r, d.tries);
      EXPECT_GE(delay, d.nominal * static_cast<double>(0.9f));
      EXPECT_LT(delay, d.nominal * static_cast<double>(1.1f));
    }
  }
  // An enormous Retry-After cannot push the delay past a day (or to infinity).
  const auto huge = response(503, {{"Retry-After", "1e300"}});
  EXPECT_EQ(RLZTSMNetworkClient::computeDelayForResponse(&huge, 5), 86400.0);
}

TEST(RLZNetworkResponseHandlerTest, CancelReason) {
  const platform::Error withReason(std::string(platform::kURLErrorDomain), -999,
                                   {{std::string(kRLZBackgroundTaskCancelledReasonKey), platform::Value(2)}});
  EXPECT_EQ(RLZNetworkResponseHandler::cancelReasonFromURLError(withReason), 2);
  EXPECT_EQ(RLZNetworkResponseHandler::cancelReasonFromURLError(platform::Error(std::string(platform::kURLErrorDomain), -999)), -1);
  EXPECT_EQ(RLZNetworkResponseHandler::cancelReasonFromURLError(platform::Error(std::string(platform::kURLErrorDomain), -1001)), -1);
}

TEST(RLZURLBuilderTest, PathAndQuery) {
  auto builder = RLZURLBuilder::URLWithBase("https://settings.example.invalid");
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent("ios");
  builder.appendComponent("/vmp/");
  builder.escapeAndAppendComponent("1:234:ios:ab cd#");
  builder.appendComponent("/settings");
  builder.appendValue(platform::Value(), "build_version");  // absent: the next one still opens with "?"
  builder.appendValue(platform::Value("1.2 beta"), "display_version");
  builder.appendValue(platform::Value("ffee"), "instance");
  builder.appendValue(platform::Value(4), "source");
  EXPECT_EQ(builder.URL(),
            "https://settings.example.invalid/spi/v2/platforms/ios/vmp/1:234:ios:ab%20cd%23/settings"
            "?display_version=1.2%20beta&instance=ffee&source=4");

  platform::testing::LogCapture log;
  auto empty = RLZURLBuilder::URLWithBase("https://a.invalid");
  empty.appendComponent("");
  EXPECT_EQ(empty.URL(), "https://a.invalid");
  EXPECT_TRUE(crash_test::logged(log, "URLBuilder parameter component must not be empty"));
}

// Takes at most `limit` bytes per write.
class ShortStream : public platform::OutputStream {
 public:
  explicit ShortStream(std::size_t limit) : limit_(limit) {}
  long write(const std::uint8_t* bytes, std::size_t length) override {
    return platform::OutputStream::write(bytes, std::min(length, limit_));
  }

 private:
  std::size_t limit_;
};

std::string text(const platform::Data& data) { return std::string(data.begin(), data.end()); }
platform::Data data(std::string_view text) { return platform::Data(text.begin(), text.end()); }

TEST(RLZMultipartMimeStreamEncoderTest, PartsByteForByte) {
  auto stream = platform::OutputStream::outputStreamToMemory();
  RLZMultipartMimeStreamEncoder encoder(stream, std::string("BOUND"));
  const auto file = crash_test::scratch("multipart") / "report.bin";
  crash_test::writeFile(file, std::string("\x00\x01zz", 4));
  platform::testing::LogCapture log;
  encoder.encode([&](RLZMultipartMimeStreamEncoder& e) {
    e.addValue(platform::Value("abc"), "app_id");
    e.addValue(platform::Value(7), "count");
    e.addFileData(data("{}"), "a.json", "application/json", "settings");
    e.addFile(file, "report.bin", std::nullopt, "report");
    // Refused, nothing written:
    e.addFileData(platform::Data{}, "empty.bin", std::nullopt, "empty");
    e.addFileData(data("x"), "", std::nullopt, "nameless");
    e.addValue(platform::Value(), "nothing");
    e.addValue(platform::Value("v"), "");
    e.addFile(file.parent_path() / "missing", "missing.bin", std::nullopt, "missing");
  });
  const std::string expected =
      "MIME-Version: 1.0\r\n"
      "--BOUND\r\nContent-Disposition: form-data; name=\"app_id\"\r\nContent-Type: text/plain\r\n\r\nabc\r\n"
      "--BOUND\r\nContent-Disposition: form-data; name=\"count\"\r\nContent-Type: text/plain\r\n\r\n7\r\n"
      "--BOUND\r\nContent-Disposition: form-data; name=\"settings\"; filename=\"a.json\"\r\n"
      "Content-Type: application/json\r\nContent-Transfer-Encoding: binary\r\n\r\n{}\r\n"
      "--BOUND\r\nContent-Disposition: form-data; name=\"report\"; filename=\"report.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
      std::string("\x00\x01zz", 4) + "\r\n--BOUND--\r\n";
  EXPECT_EQ(text(stream->dataWrittenToMemory()), expected);
  EXPECT_EQ(encoder.contentLengthHTTPHeaderValue(), std::to_string(expected.size()));
  EXPECT_EQ(encoder.contentTypeHTTPHeaderValue(), "multipart/form-data; boundary=BOUND");
  EXPECT_TRUE(crash_test::logged(log, "Unable to MIME encode data with zero length (empty)"));
  EXPECT_TRUE(crash_test::logged(log, "name (nameless) or fieldname () is invalid"));
  EXPECT_TRUE(crash_test::logged(log, "name (nothing) or value ((null)) is invalid"));
  EXPECT_TRUE(crash_test::logged(log, "Unable to MIME encode data with zero length (missing)"));
}

TEST(RLZMultipartMimeStreamEncoderTest, ShortWritesAreReportedAndNotCounted) {
  auto stream = std::make_shared<ShortStream>(4);
  RLZMultipartMimeStreamEncoder encoder(stream, std::string("B"));
  platform::testing::LogCapture log;
  encoder.beginEncoding();
  EXPECT_TRUE(crash_test::logged(log, "Failed to write data to stream"));
  EXPECT_FALSE(encoder.writeBytes(reinterpret_cast<const std::uint8_t*>("12345"), 5));
  EXPECT_TRUE(crash_test::logged(log, "Failed to write bytes to stream"));
  EXPECT_TRUE(encoder.writeBytes(reinterpret_cast<const std::uint8_t*>("1234"), 4));
  EXPECT_EQ(encoder.length(), 4u);
}

TEST(RLZMultipartMimeStreamEncoderTest, PopulatesTheRequest) {
  URLRequest request("https://upload.example.invalid/");
  RLZMultipartMimeStreamEncoder::populateRequest(
      request, [](RLZMultipartMimeStreamEncoder& e) { e.addValue(platform::Value("1"), "one"); });
  const auto contentType = request.valueForHTTPHeaderField("Content-Type");
  ASSERT_TRUE(contentType);
  const std::string prefix = "multipart/form-data; boundary=";
  ASSERT_TRUE(contentType->starts_with(prefix));
  const std::string boundary = contentType->substr(prefix.size());
  EXPECT_EQ(boundary.size(), 36u);  // a UUID
  ASSERT_TRUE(request.httpBody());
  const std::string body = text(*request.httpBody());
  EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
  EXPECT_TRUE(body.ends_with("--" + boundary + "--\r\n"));
  EXPECT_NE(body.find("--" + boundary + "\r\nContent-Disposition: form-data; name=\"one\""), std::string::npos);
}

}  // namespace
