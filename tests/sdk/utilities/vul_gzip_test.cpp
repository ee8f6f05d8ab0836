#include "sdk/utilities/utilities/vul_gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace {

using platform::Data;
using platform::Error;

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }

Data randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Data data(size);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
  return data;
}

Data zlibWrapped(const Data& plain) {
  uLongf length = compressBound(static_cast<uLong>(plain.size()));
  Data out(length);
  EXPECT_EQ(compress(out.data(), &length, plain.data(), static_cast<uLong>(plain.size())), Z_OK);
  out.resize(length);
  return out;
}

TEST(VULGzipTest, CompressingThenExpandingGivesTheDataBack) {
  std::string repetitive;
  for (int i = 0; i < 20000; ++i) repetitive += "{\"name\":\"_e\",\"value\":" + std::to_string(i % 97) + "}";
  const std::vector<std::pair<const char*, Data>> cases = {
      {"one byte", Data{0}},
      {"text", bytes("hello, focus timer")},
      {"incompressible, larger than a chunk", randomBytes(300'000, 1)},
      {"repetitive, expanding far past four times", bytes(repetitive)},
  };
  for (const auto& [name, plain] : cases) {
    Error error;
    auto compressed = VULGzip::vul_dataByGzippingData(plain, &error);
    ASSERT_TRUE(compressed) << name;
    EXPECT_FALSE(error) << name;
    ASSERT_GE(compressed->size(), 2u) << name;
    EXPECT_EQ((*compressed)[0], 0x1f) << name;
    EXPECT_EQ((*compressed)[1], 0x8b) << name;
    auto expanded = VULGzip::vul_dataByInflatingGzippedData(*compressed, &error);
    ASSERT_TRUE(expanded) << name;
    EXPECT_FALSE(error) << name;
    EXPECT_EQ(*expanded, plain) << name;
  }
}

TEST(VULGzipTest, ZlibWrappedDataExpandsToo) {
  const Data plain = bytes("zlib, not gzip");
  EXPECT_EQ(VULGzip::vul_dataByInflatingGzippedData(zlibWrapped(plain)), plain);
}

TEST(VULGzipTest, EmptyInputGivesNothingAndNoError) {
  Error error;
  EXPECT_FALSE(VULGzip::vul_dataByGzippingData({}, &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(VULGzip::vul_dataByInflatingGzippedData({}, &error));
  EXPECT_FALSE(error);
}

TEST(VULGzipTest, BrokenStreamsFailWithTheirCodes) {
  const Data compressed = *VULGzip::vul_dataByGzippingData(bytes("a stream that will be damaged in several ways"));
  Data trailing = compressed;
  trailing.insert(trailing.end(), {'x', 'y', 'z'});
  const Data truncated(compressed.begin(), compressed.end() - 6);
  Data corrupted = compressed;
  corrupted[12] ^= 0xff;

  struct Case {
    const char* name;
    Data input;
    std::int64_t code;
    std::optional<std::int64_t> remaining;
  };
  const std::vector<Case> cases = {
      {"extra bytes after the stream", trailing, VULNSDataZlibErrorDataRemaining, 3},
      {"cut short", truncated, VULNSDataZlibErrorInternal, std::nullopt},
      {"damaged", corrupted, VULNSDataZlibErrorInternal, std::nullopt},
      {"not compressed at all", bytes("plain text, no header"), VULNSDataZlibErrorInternal, std::nullopt},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(VULGzip::vul_dataByInflatingGzippedData(c.input, &error)) << c.name;
    EXPECT_EQ(error.domain(), kVULNSDataZlibErrorDomain) << c.name;
    EXPECT_EQ(error.code(), c.code) << c.name;
    const auto& info = error.userInfo();
    if (c.remaining) {
      EXPECT_EQ(info.at(std::string(kVULNSDataZlibRemainingBytesKey)).integerValue(), *c.remaining) << c.name;
    } else {
      ASSERT_TRUE(info.count(std::string(kVULNSDataZlibErrorKey))) << c.name;
      EXPECT_LT(info.at(std::string(kVULNSDataZlibErrorKey)).integerValue(), 0) << c.name;
    }
  }
  // A caller that does not ask for the error still gets no data.
  EXPECT_FALSE(VULGzip::vul_dataByInflatingGzippedData(truncated));
}

// A small input can expand without bound: expansion stops at the caller's limit, or by default at
// the platform's largest response body, before holding much more than that.
TEST(VULGzipTest, ExpansionStopsAtItsLimit) {
  const auto zeros = [](std::size_t n) { return *VULGzip::vul_dataByGzippingData(Data(n, 0)); };
  struct Case {
    const char* name;
    Data input;
    std::size_t limit;
    bool expands;
  };
  const std::vector<Case> cases = {
      {"exactly the limit", zeros(1000), 1000, true},
      {"one byte past the limit", zeros(1001), 1000, false},
      {"a crafted bomb", zeros(16 << 20), 1000, false},
      {"zlib-wrapped, past the limit", zlibWrapped(Data(5000, 'z')), 4999, false},
      {"past the default limit", zeros(kVULGzipDefaultInflateLimit + 1), kVULGzipDefaultInflateLimit, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Error error;
    const auto expanded = c.limit == kVULGzipDefaultInflateLimit
                              ? VULGzip::vul_dataByInflatingGzippedData(c.input, &error)
                              : VULGzip::vul_dataByInflatingGzippedData(c.input, &error, c.limit);
    if (c.expands) {
      ASSERT_TRUE(expanded) << error.description();
      EXPECT_EQ(expanded->size(), c.limit);
      EXPECT_FALSE(error);
    } else {
      EXPECT_FALSE(expanded);
      EXPECT_EQ(error.domain(), kVULNSDataZlibErrorDomain);
      EXPECT_EQ(error.code(), VULNSDataZlibErrorGreaterThanLimitToInflate);
    }
  }
}

}  // namespace
