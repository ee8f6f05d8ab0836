#include "platform/foundation/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/home.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

Data bytesOf(std::string_view text) { return Data(text.begin(), text.end()); }

void writeFile(const fs::path& path, const Data& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

using Table = std::map<std::string, std::string, std::less<>>;

TEST(StringsFile, ParsesEntriesCommentsAndEscapes) {
  struct Case {
    const char* what;
    std::string_view text;
    Table expected;
  } cases[] = {
      {"plain", R"("a" = "b";)", {{"a", "b"}}},
      {"comments and spacing",
       "/* header\n * \"x\" = \"y\"; */\n\"a\"\t=  \"b\" ; // trailing \"c\" = \"d\";\n// line\n\"e\" = /* mid */ \"f\";",
       {{"a", "b"}, {"e", "f"}}},
      {"quote, backslash, newline, tab", R"("k" = "say \"hi\"\\ \n\t.";)", {{"k", "say \"hi\"\\ \n\t."}}},
      {"escaped key", R"("a \"b\"" = "c";)", {{"a \"b\"", "c"}}},
      {"unicode escapes", R"("k" = "\U00e9 \u20AC \UD83D\UDE00";)", {{"k", "é € 😀"}}},
      {"lone surrogate", R"("k" = "\UD83D!";)", {{"k", "\xEF\xBF\xBD!"}}},
      {"raw UTF-8", "\"clé\" = \"valeur ✓\";", {{"clé", "valeur ✓"}}},
      {"key alone", R"("same";)", {{"same", "same"}}},
      {"unquoted", "key.name = value_1;", {{"key.name", "value_1"}}},
      {"later wins", R"("a" = "1"; "a" = "2";)", {{"a", "2"}}},
      {"format specifiers kept", R"("n" = "%d of %@";)", {{"n", "%d of %@"}}},
      {"empty", "  \n/* nothing */\n", {}},
  };
  for (const auto& c : cases) {
    Error error;
    auto table = Bundle::parseStringsFile(bytesOf(c.text), &error);
    ASSERT_TRUE(table) << c.what << ": " << error.description();
    EXPECT_EQ(*table, c.expected) << c.what;
  }
}

TEST(StringsFile, MalformedInputIsAnErrorWithTheLine) {
  struct Case {
    const char* what;
    std::string_view text;
    std::string_view fragment;
  } cases[] = {
      {"missing semicolon", "\"a\" = \"b\"\n\"c\" = \"d\";", "line 2"},
      {"missing equals", "\"a\" \"b\";", "'='"},
      {"unterminated string", "\"a\" = \"b;\n", "value"},
      {"unterminated comment", "\"a\" = \"b\"; /* open", "comment"},
      {"missing value", "\"a\" = ;", "value"},
      {"stray brace", "{", "key"},
  };
  for (const auto& c : cases) {
    Error error;
    EXPECT_FALSE(Bundle::parseStringsFile(bytesOf(c.text), &error)) << c.what;
    EXPECT_EQ(error.code(), kPropertyListReadCorruptError) << c.what;
    EXPECT_NE(error.localizedDescription().find(c.fragment), std::string::npos)
        << c.what << ": " << error.localizedDescription();
  }
}

TEST(StringsFile, ReadsUtf16WithAByteOrderMark) {
  std::u16string text = u"\"k\" = \"\u00e9\U0001F600\";";
  for (bool bigEndian : {false, true}) {
    Data bytes = bigEndian ? Data{0xFE, 0xFF} : Data{0xFF, 0xFE};
    for (char16_t unit : text) {
      std::uint8_t hi = static_cast<std::uint8_t>(unit >> 8), lo = static_cast<std::uint8_t>(unit & 0xFF);
      bytes.push_back(bigEndian ? hi : lo);
      bytes.push_back(bigEndian ? lo : hi);
    }
    auto table = Bundle::parseStringsFile(bytes);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->at("k"), "é😀");
  }
}

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = Home::path() / "Test.bundle";
    writeFile(path / "Info.plist", bytesOf(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.test</string>
<key>Count</key><integer>3</integer>
</dict></plist>)"));
    writeFile(path / "en.lproj" / "Localizable.strings", bytesOf("\"hello\" = \"Hello\";\n\"esc\" = \"a\\nb\";"));
    writeFile(path / "Localizable.strings", bytesOf("\"hello\" = \"Unlocalised\";"));
    writeFile(path / "en.lproj" / "Other.strings", bytesOf("\"hello\" = \"Other hello\";"));
    writeFile(path / "sounds" / "bird.caf", bytesOf("caf"));
    writeFile(path / "Options.plist", bytesOf("x"));
  }
  void TearDown() override { Bundle::setMainPath({}); }
  fs::path path;
};

TEST_F(BundleTest, InfoDictionaryAndIdentifier) {
  auto bundle = Bundle::at(path);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.test");
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("Count"), Value(3));
  EXPECT_TRUE(bundle->objectForInfoDictionaryKey("Missing").isNull());
  EXPECT_EQ(Bundle::at(path / "missing"), nullptr);
}

TEST_F(BundleTest, ABrokenInfoPlistGivesAnEmptyDictionary) {
  writeFile(path / "Info.plist", bytesOf("<plist><dict><key>"));
  auto bundle = Bundle::at(path);
  EXPECT_TRUE(bundle->infoDictionary().empty());
  EXPECT_EQ(bundle->bundleIdentifier(), "");
}

TEST_F(BundleTest, LocalizedStringsPreferTheLocalisationAndFallBackToTheKey) {
  auto bundle = Bundle::at(path);
  struct Case {
    std::string_view key, value, table, expected;
  } cases[] = {
      {"hello", "", "", "Hello"},
      {"esc", "", "", "a\nb"},
      {"hello", "", "Other", "Other hello"},
      {"missing", "", "", "missing"},
      {"missing", "Fallback", "", "Fallback"},
      {"hello", "", "NoSuchTable", "hello"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bundle->localizedString(c.key, c.value, c.table), c.expected) << c.key << " in " << c.table;
  }
}

TEST_F(BundleTest, ResourcePathsAreFoundInTheBundleAndItsSubfolders) {
  auto bundle = Bundle::at(path);
  EXPECT_EQ(bundle->pathForResource("Options", "plist"), path / "Options.plist");
  EXPECT_EQ(bundle->pathForResource("Options.plist", ""), path / "Options.plist");
  EXPECT_EQ(bundle->pathForResource("Other", "strings"), path / "en.lproj" / "Other.strings");
  EXPECT_EQ(bundle->pathForResource("bird", "caf"), path / "sounds" / "bird.caf");
  EXPECT_EQ(bundle->pathForResource("Localizable", "strings"), path / "Localizable.strings");
  EXPECT_EQ(bundle->pathForResource("missing", "plist"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("../Test.bundle/Options", "plist"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("sounds", ""), std::nullopt);  // folders are not resources
}

TEST_F(BundleTest, TheMainBundleIsTheAppsResourcesUnlessPointedElsewhere) {
  auto main = Bundle::main();
  EXPECT_EQ(main->bundleIdentifier(), "com.focus.timer");
  EXPECT_EQ(main->objectForInfoDictionaryKey("CFBundleShortVersionString"), Value("1.0.0"));
  EXPECT_EQ(main->objectForInfoDictionaryKey("CFBundleName"), Value("FocusTimer"));
  Bundle::setMainPath(path);
  EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.example.test");
  Bundle::setMainPath({});
  EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.focus.timer");
}

}  // namespace
}  // namespace platform
