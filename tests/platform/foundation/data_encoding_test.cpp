#include "platform/foundation/data_encoding.h"

#include <gtest/gtest.h>

namespace platform::DataEncoding {
namespace {

Data bytesOf(std::string_view s) { return Data(s.begin(), s.end()); }

TEST(DataEncodingTest, Base64KnownVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
    EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
  }
}

TEST(DataEncodingTest, Base64StrictDecodingRefusesMalformedText) {
  for (const char* bad : {"Zg=", "Zg=A", "Z===", "====", "Zm9v\n", "Zm 9v", "Zm9v-_==", "Zm9vY", "Zg==Zg=="}) {
    EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
  }
}

TEST(DataEncodingTest, Base64IgnoringUnknownCharactersSkipsLineBreaksAndBlanks) {
  const auto ignore = Base64DecodingOptions::IgnoreUnknownCharacters;
  EXPECT_EQ(base64Decode("Zm9v\r\nYmFy", ignore), bytesOf("foobar"));
  EXPECT_EQ(base64Decode(" Z m 9 v ", ignore), bytesOf("foo"));
  EXPECT_EQ(base64Decode("Zm9vY", ignore), std::nullopt);  // still needs whole groups
}

TEST(DataEncodingTest, URLSafeBase64UsesItsOwnAlphabetWithoutPadding) {
  const Data bytes{0xFB, 0xFF, 0xBF};
  EXPECT_EQ(base64Encode(bytes), "+/+/");
  EXPECT_EQ(base64URLEncode(bytes), "-_-_");
  EXPECT_EQ(base64URLEncode(Data{0xFB, 0xFF}), "-_8");
  EXPECT_EQ(base64URLDecode("-_8"), (Data{0xFB, 0xFF}));
  EXPECT_EQ(base64URLDecode("-_8="), (Data{0xFB, 0xFF}));
  EXPECT_EQ(base64URLDecode("+/8="), std::nullopt);
  EXPECT_EQ(base64URLDecode("A"), std::nullopt);
  // Eight bytes give eleven characters, the length of a derived identifier.
  EXPECT_EQ(base64URLEncode(Data(8, 0x7A)).size(), 11u);
}

TEST(DataEncodingTest, Hex) {
  const Data bytes{0x00, 0xAB, 0x7F, 0xFF};
  EXPECT_EQ(hexEncode(bytes), "00ab7fff");
  EXPECT_EQ(hexEncode(bytes, HexCase::Upper), "00AB7FFF");
  EXPECT_EQ(hexEncode(Data{}), "");
  EXPECT_EQ(hexDecode("00Ab7fFF"), bytes);
  for (const char* bad : {"abc", "zz", "0x12", " 12"}) EXPECT_EQ(hexDecode(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace platform::DataEncoding
