#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "crash_test_support.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/records/rlz_file.h"

namespace {

using crash_test::readFile;

struct Writer {
  std::filesystem::path path = crash_test::scratch("records") / "test.rlzrecord";
  RLZFile file{};
  explicit Writer(bool buffered = false) {
    std::filesystem::remove(path);
    EXPECT_TRUE(RLZFileInitWithPath(&file, path.c_str(), buffered));
  }
  std::string close() {
    EXPECT_TRUE(RLZFileClose(&file));
    return readFile(path);
  }
};

TEST(RLZFileTest, WritesLinesByteForByte) {
  struct Case {
    const char* name;
    void (*write)(RLZFile*);
    const char* expected;
  };
  const Case cases[] = {
      {"empty section", [](RLZFile* f) {
         RLZFileWriteSectionStart(f, "storage");
         RLZFileWriteHashStart(f);
         RLZFileWriteHashEnd(f);
         RLZFileWriteSectionEnd(f);
       }, "{\"storage\":{}}\n"},
      {"entries of every kind", [](RLZFile* f) {
         RLZFileWriteSectionStart(f, "signal");
         RLZFileWriteHashStart(f);
         RLZFileWriteHashEntryUint64(f, "number", 11);
         RLZFileWriteHashEntryInt64(f, "code", -2);
         RLZFileWriteHashEntryString(f, "name", nullptr);
         RLZFileWriteHashEntryNSString(f, "skipped", "");
         RLZFileWriteHashEntryHexEncodedString(f, "msg", "abc");
         RLZFileWriteHashEntryBoolean(f, "crashed", true);
         RLZFileWriteHashEnd(f);
         RLZFileWriteSectionEnd(f);
       }, "{\"signal\":{\"number\":11,\"code\":-2,\"name\":null,\"msg\":\"616263\",\"crashed\":true}}\n"},
      {"nested arrays", [](RLZFile* f) {
         RLZFileWriteSectionStart(f, "threads");
         RLZFileWriteArrayStart(f);
         RLZFileWriteHashStart(f);
         RLZFileWriteHashKey(f, "stacktrace");
         RLZFileWriteArrayStart(f);
         RLZFileWriteArrayEntryUint64(f, 1);
         RLZFileWriteArrayEntryUint64(f, 2);
         RLZFileWriteArrayEnd(f);
         RLZFileWriteHashEnd(f);
         RLZFileWriteHashStart(f);
         RLZFileWriteHashEnd(f);
         RLZFileWriteArrayEnd(f);
         RLZFileWriteSectionEnd(f);
       }, "{\"threads\":[{\"stacktrace\":[1,2]},{}]}\n"},
      {"array strings", [](RLZFile* f) {
         RLZFileWriteSectionStart(f, "names");
         RLZFileWriteArrayStart(f);
         RLZFileWriteArrayEntryString(f, "");
         RLZFileWriteArrayEntryString(f, "com.apple.main-thread");
         RLZFileWriteArrayEntryHexEncodedString(f, nullptr);
         RLZFileWriteArrayEnd(f);
         RLZFileWriteSectionEnd(f);
       }, "{\"names\":[\"\",\"com.apple.main-thread\",null]}\n"},
      {"system strings are escaped", [](RLZFile* f) {
         RLZFileWriteSectionStart(f, "x");
         RLZFileWriteHashStart(f);
         RLZFileWriteHashEntryString(f, "path", "/a \"b\"\\c\n\x01");
         RLZFileWriteHashEnd(f);
         RLZFileWriteSectionEnd(f);
       }, "{\"x\":{\"path\":\"/a \\\"b\\\"\\\\c\\n\\u0001\"}}\n"},
  };
  for (const auto& c : cases) {
    Writer writer;
    c.write(&writer.file);
    const std::string text = writer.close();
    EXPECT_EQ(text, c.expected) << c.name;
    // Every line is JSON to an independent reader and to the launch-time reader.
    EXPECT_TRUE(nlohmann::json::accept(text)) << c.name;
    const auto sections = RLZFileReadSections(writer.path.c_str(), false);
    ASSERT_TRUE(sections) << c.name;
    EXPECT_EQ(sections->size(), 1u) << c.name;
  }
}

TEST(RLZFileTest, ShortAndLongStringsAndHexChunks) {
  for (std::size_t length : {0, 11, 12, 13, 40}) {
    const std::string value(length, 'v');
    Writer writer;
    RLZFileWriteString(&writer.file, value.c_str());
    RLZFileWriteHashKey(&writer.file, value.c_str());
    EXPECT_EQ(writer.close(), "\"" + value + "\"\"" + value + "\":") << length;
  }
  const std::string text(37, 'z');
  Writer writer;
  RLZFileWriteHexEncodedString(&writer.file, text.c_str());
  std::string expected = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) expected += "7a";
  EXPECT_EQ(writer.close(), expected + "\"");
}

TEST(RLZFileTest, BufferFlushesAt999Bytes) {
  Writer writer(true);
  const std::string bytes(2500, 'x');
  RLZFileWrite(&writer.file, bytes.data(), bytes.size());
  EXPECT_EQ(writer.file.writtenLength, 1998);
  EXPECT_EQ(writer.file.writeBufferLength, 502u);
  EXPECT_EQ(readFile(writer.path).size(), 1998u);
  int64_t length = 0;
  EXPECT_TRUE(RLZFileCloseWithOffset(&writer.file, &length));
  EXPECT_EQ(length, 2500);
  EXPECT_EQ(writer.file.writeBuffer, nullptr);
  EXPECT_EQ(writer.file.fd, -1);
  EXPECT_EQ(readFile(writer.path), bytes);
}

TEST(RLZFileTest, ACallersBufferIsUsedAndLeftToTheCaller) {
  const auto path = crash_test::scratch("records") / "caller-buffer.rlzrecord";
  std::filesystem::remove(path);
  std::vector<char> buffer(RLZFileWriteBufferSize);
  RLZFile file{};
  ASSERT_TRUE(RLZFileInitWithPathModeAndBuffer(&file, path.c_str(), false, buffer.data()));
  EXPECT_EQ(file.writeBuffer, buffer.data());
  RLZFileWrite(&file, "abc", 3);
  EXPECT_EQ(readFile(path), "");
  EXPECT_EQ(std::string(buffer.data(), 3), "abc");
  // Flushed on close and not freed: a double free or a leak would show under the sanitizers.
  EXPECT_TRUE(RLZFileClose(&file));
  EXPECT_EQ(readFile(path), "abc");
}

TEST(RLZFileTest, AppendStartsAtTheFileSize) {
  Writer first;
  RLZFileWrite(&first.file, "abc", 3);
  first.close();
  RLZFile again{};
  ASSERT_TRUE(RLZFileInitWithPath(&again, first.path.c_str(), false));
  EXPECT_EQ(again.writtenLength, 3);
  RLZFileClose(&again);
  EXPECT_FALSE(RLZFileInitWithPath(&again, "/nonexistent/dir/file", false));
  EXPECT_FALSE(RLZFileIsOpen(&again));
  EXPECT_FALSE(RLZFileIsOpen(reinterpret_cast<RLZFile*>(16)));
}

struct OneByteWriter {
  std::string taken;
  int calls = 0;
  static ssize_t write(void* context, const char* bytes, size_t) {
    auto* self = static_cast<OneByteWriter*>(context);
    ++self->calls;
    self->taken.push_back(bytes[0]);
    return 1;
  }
};

TEST(RLZFileTest, WriteLoopGivesUpAfterFiftyCalls) {
  const std::string fifty(50, 'a');
  OneByteWriter ok;
  EXPECT_TRUE(RLZFileLoopWithWriteBlock(fifty.data(), 50, OneByteWriter::write, &ok));
  EXPECT_EQ(ok.taken, fifty);
  OneByteWriter tooLong;
  EXPECT_FALSE(RLZFileLoopWithWriteBlock((fifty + "b").data(), 51, OneByteWriter::write, &tooLong));
  EXPECT_EQ(tooLong.calls, 50);
  EXPECT_FALSE(RLZFileLoopWithWriteBlock("x", 0, OneByteWriter::write, &ok));
  auto failing = [](void*, const char*, size_t) -> ssize_t { return 0; };
  auto overlong = [](void*, const char*, size_t length) -> ssize_t { return static_cast<ssize_t>(length + 1); };
  EXPECT_FALSE(RLZFileLoopWithWriteBlock("xy", 2, failing, nullptr));
  EXPECT_FALSE(RLZFileLoopWithWriteBlock("xy", 2, overlong, nullptr));
}

TEST(RLZFileTest, NumbersMatchTheStandardLibrary) {
  const uint64_t values[] = {0, 1, 9, 10, 255, 4096, 1ull << 32, std::numeric_limits<uint64_t>::max()};
  for (uint64_t value : values) {
    for (bool hex : {false, true}) {
      char buffer[RLZFileNumberBufferSize];
      char expected[32] = {};
      std::to_chars(expected, expected + sizeof expected, value, hex ? 16 : 10);
      EXPECT_STREQ(RLZFileUInt64ToString(value, buffer, hex), expected) << value;
    }
  }
  const int64_t signedValues[] = {0, -1, 42, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
  for (int64_t value : signedValues) {
    Writer writer;
    RLZFileWriteInt64(&writer.file, value);
    EXPECT_EQ(writer.close(), std::to_string(value));
  }
}

TEST(RLZFileReaderTest, SkipsBrokenLinesAndKeepsTheRest) {
  const auto path = crash_test::scratch("reader") / "log_a.rlzrecord";
  crash_test::writeFile(path, "{\"log\":{\"msg\":\"61\"}}\nnot json\n{\"bad\":\"\xff\"}\n{\"kv\":{}}\n{\"log\":{\"ms");
  const auto sections = RLZFileReadSections(path.c_str(), false);
  ASSERT_TRUE(sections);
  ASSERT_EQ(sections->size(), 2u);
  EXPECT_TRUE((*sections)[0].contains("log"));
  EXPECT_TRUE((*sections)[1].contains("kv"));

  const auto onlyLogs = RLZFileReadSections(path.c_str(), false, [](const platform::Value& v) {
    return v.contains("log") ? std::optional<platform::Value>(v["log"]) : std::nullopt;
  });
  ASSERT_EQ(onlyLogs->size(), 1u);
  EXPECT_EQ((*onlyLogs)[0]["msg"], platform::Value("61"));

  const auto missing = crash_test::scratch("reader") / "missing.rlzrecord";
  EXPECT_FALSE(RLZFileReadSections(missing.c_str(), true));
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_FALSE(RLZFileReadSections(reinterpret_cast<const char*>(8), false));
}

TEST(RLZFileReaderTest, HexDecoding) {
  const struct {
    const char* hex;
    std::optional<std::string> text;
  } cases[] = {{"616263", "abc"}, {"61zz63", "a"}, {"6162630", "abc"}, {"", ""}, {"610062", "a"}, {"ff", std::nullopt},
               {"C3A9", "\xc3\xa9"}};
  for (const auto& c : cases) EXPECT_EQ(RLZFileHexDecodeString(c.hex), c.text) << c.hex;
}

}  // namespace
