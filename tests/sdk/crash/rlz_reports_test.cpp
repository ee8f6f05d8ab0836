#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <string>

#include "crash_test_support.h"
#include "platform/foundation/data_encoding.h"
#include "platform/foundation/json.h"
#include "platform/testing/testing.h"
#include "sdk/crash/capture/rlz_crash_capture.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_user_defaults.h"
#include "sdk/crash/reports/rlz_crash_record_fitter.h"
#include "sdk/crash/reports/rlz_identifiers.h"
#include "sdk/crash/reports/rlz_internal_report.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_on_demand_model.h"
#include "sdk/crash/reports/rlz_report_adapter.h"
#include "sdk/crash/reports/rlz_report_manager.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/reports/rlz_symbolication.h"
#include "sdk/crash/reports/vdz_ralitoze_report.h"
#include "sdk/crash/reports/vdz_stack_frame.h"
#include "sdk/crash/settings/rlz_settings.h"
#include "sdk/transport/core/vdtcor_registrar.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"
#include "sdk/transport/core/vdtcor_transport.h"
#include "tools/local-service/crash_report.h"

namespace {

namespace fs = std::filesystem;

// A sparse file larger than any machine's memory: a reader that trusts its size fails at once
// instead of filling the memory first.
constexpr std::int64_t kHugeSparseSize = std::int64_t{2} << 40;

// The report's files by name, with their packed contents.
std::map<std::string, std::string> packedFiles(const RLZReportAdapter& adapter) {
  std::map<std::string, std::string> packed;
  for (const auto& file : adapter.report().files) {
    packed[file.filename] = std::string(file.contents.begin(), file.contents.end());
  }
  return packed;
}

void writeMetadata(const fs::path& directory, const std::string& session, std::uint64_t startedAt,
                   const std::string& platformName = "ios") {
  fs::create_directories(directory);
  crash_test::writeFile(directory / "metadata.rlzrecord",
                        "{\"identity\":{\"build_version\":\"8.15.0\",\"session_id\":\"" + session +
                            "\",\"started_at\":" + std::to_string(startedAt) + "}}\n{\"host\":{\"platform\":\"" +
                            platformName + "\"}}\n{\"application\":{\"build_version\":\"7\",\"display_version\":\"1.0\"}}\n");
}

TEST(RLZReportAdapterTest, PacksRecordFilesByNameInOrderAndLeavesTheRestOut) {
  const fs::path dir = crash_test::scratch("adapter");
  writeMetadata(dir, "abc", 1);
  crash_test::writeFile(dir / "signal.rlzrecord", "signal");
  crash_test::writeFile(dir / "Binary_images.rlzrecord", "images");
  crash_test::writeFile(dir / "signal.rlzrecord.SYMBOLICATED", "names");
  crash_test::writeFile(dir / "sdk.log", "log");
  fs::create_directories(dir / "subdirectory");
  RLZReportAdapter adapter(dir.string(), "1:2:ios:3", nullptr);
  auto bytes = adapter.transportBytes();
  ASSERT_TRUE(bytes);
  std::string error;
  auto report = local_service::decodeCrashReport(std::string(bytes->begin(), bytes->end()), error);
  ASSERT_TRUE(report) << error;
  std::vector<std::string> names;
  for (const auto& [name, contents] : report->files) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Binary_images.rlzrecord", "metadata.rlzrecord", "signal.rlzrecord",
                                             "signal.rlzrecord.SYMBOLICATED"}));
  EXPECT_EQ(*report->file("signal.rlzrecord"), "signal");
  EXPECT_EQ(report->sdkVersion, "8.15.0");
  EXPECT_EQ(report->videzuAppID, "1:2:ios:3");
  EXPECT_EQ(report->platform, 1u);
  EXPECT_EQ(report->buildVersion, "7");
  EXPECT_EQ(report->displayVersion, "1.0");
}

TEST(RLZReportAdapterTest, PlatformCodesAndFieldOrder) {
  struct Case {
    std::optional<std::string> name;
    std::uint32_t code;
  } cases[] = {{"iOS", 1}, {"tvos", 2}, {"MAC", 5}, {"watchos", 0}, {std::nullopt, 0}};
  for (const auto& c : cases) EXPECT_EQ(RLZReportAdapter::protoPlatformFromString(c.name), c.code);

  // A missing value is a present, empty field; a zero platform and no files are left off.
  RLZReportMessage message;
  message.videzuAppID = "app";
  auto bytes = RLZEncodeReportMessage(message);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), std::string("\x0a\x00\x1a\x03" "app\x2a\x00\x32\x00\x3a\x00", 13));
}

// Known-good bytes of a report with every field set and files with and without contents, so a
// change of the schema or its encoder cannot change the wire unnoticed.
TEST(RLZReportAdapterTest, EncodedBytesMatchAKnownGoodSample) {
  RLZReportMessage message;
  message.sdkVersion = "8.15.0";
  message.videzuAppID = "1:2:ios:3";
  message.platform = RLZReportPlatformMac;
  message.installationID = "abc123";
  message.buildVersion = "7";
  message.displayVersion = "1.0";
  message.files = {{"metadata.rlzrecord", platform::Data{'{', '}', '\n'}}, {"signal.rlzrecord", {}}};
  auto bytes = RLZEncodeReportMessage(message);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(platform::DataEncoding::hexEncode(*bytes),
            "0a06382e31352e301a09313a323a696f733a3320052a066162633132333201373a03312e3052310a190a126d65746164"
            "6174612e726c7a7265636f726412037b7d0a0a140a107369676e616c2e726c7a7265636f72641200");

  // The local service reads it back with the same schema and refuses a cut one.
  std::string error;
  auto report = local_service::decodeCrashReport(std::string(bytes->begin(), bytes->end()), error);
  ASSERT_TRUE(report) << error;
  EXPECT_EQ(report->platform, 5u);
  EXPECT_EQ(report->installationID, "abc123");
  ASSERT_EQ(report->files.size(), 2u);
  EXPECT_EQ(*report->file("metadata.rlzrecord"), "{}\n");
  EXPECT_EQ(*report->file("signal.rlzrecord"), "");
  EXPECT_FALSE(local_service::decodeCrashReport(std::string(bytes->begin(), bytes->end() - 1), error));
}

TEST(RLZReportAdapterTest, FilesBeyondSixtyFourKilobytesTravelWhole) {
  const fs::path dir = crash_test::scratch("adapter-large");
  writeMetadata(dir, "abc", 1);
  const std::string large(300000, 'z');
  crash_test::writeFile(dir / "log_a.rlzrecord", large);
  auto bytes = RLZReportAdapter(dir.string(), "app", nullptr).transportBytes();
  ASSERT_TRUE(bytes);
  std::string error;
  auto report = local_service::decodeCrashReport(std::string(bytes->begin(), bytes->end()), error);
  ASSERT_TRUE(report) << error;
  EXPECT_EQ(*report->file("log_a.rlzrecord"), large);
}

// Sizes on disk are no promise: the largest files are cut so the report stays within what one
// transport event carries, and the small ones beside them travel whole.
TEST(RLZReportAdapterTest, HugeFilesAreCutAndTheSmallOnesTravelWhole) {
  const fs::path dir = crash_test::scratch("adapter-huge");
  writeMetadata(dir, "abc", 1);
  crash_test::writeFile(dir / "signal.rlzrecord", "signal");
  // A crash record larger than the unwinder can write is not read through either.
  for (const char* name : {"a_huge.rlzrecord", "b_huge.rlzrecord", "c_huge.rlzrecord", "mach_exception.rlzrecord"}) {
    crash_test::writeFile(dir / name, "");
    ASSERT_EQ(::truncate((dir / name).c_str(), kHugeSparseSize), 0);
  }
  const RLZReportAdapter adapter(dir.string(), "app", nullptr);
  EXPECT_TRUE(adapter.allRecordsRead());
  const auto& files = adapter.report().files;
  std::map<std::string, std::size_t> sizes;
  for (const auto& file : files) sizes[file.filename] = file.contents.size();
  EXPECT_EQ(sizes["signal.rlzrecord"], 6u);
  EXPECT_EQ(sizes["metadata.rlzrecord"], fs::file_size(dir / "metadata.rlzrecord"));
  // Not one line of the huge ones fits: they are left out rather than sent empty.
  EXPECT_EQ(sizes.size(), 2u);
  auto bytes = adapter.transportBytes();
  ASSERT_TRUE(bytes);
  EXPECT_LE(bytes->size(), kRLZMaxReportBytes);
}

// However many files lie in a report folder, the records that make the report travel, whole:
// only what is left over is left out or cut.
TEST(RLZReportAdapterTest, TheRecordsThatMakeAReportComeBeforeAnyOtherFile) {
  const fs::path dir = crash_test::scratch("adapter-planted");
  writeMetadata(dir, "abc", 1);
  const std::map<std::string, std::string> records = {
      {"signal.rlzrecord", "{\"signal\":{\"time\":1}}\n" + std::string(1u << 20, ' ') + "\n"},
      {"signal.rlzrecord.symbolicated", "{\"threads\":[]}\n"},
      {"binary_images.rlzrecord", "{\"load\":{}}\n"},
      {"log_a.rlzrecord", "{\"log\":{}}\n"},
      {"log_b.rlzrecord", "{\"log\":{}}\n"}};
  for (const auto& [name, contents] : records) crash_test::writeFile(dir / name, contents);
  char name[32];
  for (int i = 0; i < 10000; ++i) {
    std::snprintf(name, sizeof name, "aaa_%05d.rlzrecord", i);
    crash_test::writeFile(dir / name, "{}\n");
  }
  // A planted file larger than the whole report takes nothing from the records.
  std::string large;
  while (large.size() < kRLZMaxReportBytes) large += std::string(1000, 'l') + "\n";
  crash_test::writeFile(dir / "aaa_00000.rlzrecord", large);

  const RLZReportAdapter adapter(dir.string(), "app", nullptr);
  auto packed = packedFiles(adapter);
  EXPECT_EQ(packed.size(), kRLZMaxReportFiles);
  EXPECT_EQ(packed["metadata.rlzrecord"], crash_test::readFile(dir / "metadata.rlzrecord"));
  for (const auto& [name, contents] : records) {
    ASSERT_TRUE(packed.count(name)) << name;
    EXPECT_EQ(packed[name], contents) << name;
  }
  auto bytes = adapter.transportBytes();
  ASSERT_TRUE(bytes);
  EXPECT_LE(bytes->size(), kRLZMaxReportBytes);
}

// A crash record larger than its share keeps every section and every thread: the threads' stack
// traces are shortened to their innermost frames, the crashed thread's kept whole.
TEST(RLZReportAdapterTest, ACrashRecordTooLargeKeepsItsThreadsWithShorterStacks) {
  const fs::path dir = crash_test::scratch("adapter-deep");
  writeMetadata(dir, "abc", 1);
  std::string deep;
  for (int i = 0; i < 600000; ++i) deep += (i ? "," : "") + std::to_string(1000000 + i);
  const std::string crashedTrace = "7,8,9";
  const std::string signal =
      "{\"signal\":{\"number\":11,\"time\":5}}\n{\"threads\":[{\"registers\":{\"pc\":1},\"stacktrace\":[" + deep +
      "]},{\"registers\":{\"pc\":2},\"stacktrace\":[" + crashedTrace + "],\"crashed\":true},{\"stacktrace\":[" + deep +
      "]}]}\n{\"process_stats\":{\"active\":1}}\n";
  ASSERT_GT(signal.size(), kRLZMaxReportBytes);
  crash_test::writeFile(dir / "signal.rlzrecord", signal);

  const RLZReportAdapter adapter(dir.string(), "app", nullptr);
  const auto packed = packedFiles(adapter);
  ASSERT_TRUE(packed.count("signal.rlzrecord"));
  const std::string& text = packed.at("signal.rlzrecord");
  EXPECT_LE(text.size(), kRLZMaxReportBytes);
  EXPECT_GT(text.size(), kRLZMaxReportBytes / 2);
  std::vector<platform::Value> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    auto line = platform::JSON::parse(std::string_view(text).substr(start, end - start));
    ASSERT_TRUE(line) << "line " << lines.size() << " does not parse";
    lines.push_back(std::move(*line));
  }
  ASSERT_EQ(lines.size(), 3u);
  const auto& threads = *lines[1].ifDictionary()->at("threads").ifArray();
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads[1].ifDictionary()->at("stacktrace").ifArray()->size(), 3u);
  for (std::size_t i : {0u, 2u}) {
    const auto& trace = *threads[i].ifDictionary()->at("stacktrace").ifArray();
    EXPECT_GT(trace.size(), 100000u) << i;
    EXPECT_LT(trace.size(), 600000u) << i;
    EXPECT_EQ(trace[0], platform::Value(std::uint64_t{1000000})) << "the innermost frames stay";
  }
  EXPECT_TRUE(lines[2].ifDictionary()->count("process_stats"));
}

// A crash record as the crash-time writer makes it: the signal, every thread's registers and
// stack (innermost first), the crashed thread marked, then the sections after the threads. The
// stacks but the crashed one's hold at most `kept` frames.
std::string crashRecord(std::size_t threads, std::size_t frames, std::size_t crashed,
                        std::size_t kept = SIZE_MAX) {
  static const char* const registers[] = {"x0",  "x1",  "x2",  "x3",  "x4",  "x5",  "x6",  "x7",  "x8",
                                          "x9",  "x10", "x11", "x12", "x13", "x14", "x15", "x16", "x17",
                                          "x18", "x19", "x20", "x21", "x22", "x23", "x24", "x25", "x26",
                                          "x27", "x28", "fp",  "sp",  "lr",  "pc",  "cpsr"};
  std::string record = "{\"signal\":{\"number\":11,\"code\":1,\"address\":0,\"name\":\"SIGSEGV\",\"errno\":0,\"time\":5}}\n";
  record += "{\"threads\":[";
  std::string names = "{\"thread_names\":[";
  std::string queues = "{\"dispatch_queue_names\":[";
  for (std::size_t thread = 0; thread < threads; ++thread) {
    record += thread ? ",{\"registers\":{" : "{\"registers\":{";
    for (const char* name : registers) {
      record += std::string(name == registers[0] ? "\"" : ",\"") + name + "\":" + std::to_string(140737488355328 + thread);
    }
    record += "},\"stacktrace\":[";
    char digits[24];
    for (std::size_t frame = 0; frame < (thread == crashed ? frames : std::min(frames, kept)); ++frame) {
      if (frame) record += ',';
      const auto end = std::to_chars(digits, digits + sizeof digits, 94000000000000 + thread * 1000000 + frame * 16).ptr;
      record.append(digits, end);
    }
    record += thread == crashed ? "],\"crashed\":true}" : "]}";
    names += (thread ? ",\"worker " : "\"worker ") + std::to_string(thread) + "\"";
    queues += thread ? ",\"\"" : "\"\"";
  }
  record += "]}\n{\"runtime\":{\"objc_selector\":\"\",\"crash_info_entries\":[]}}\n";
  record += queues + "]}\n" + names + "]}\n";
  record += "{\"process_stats\":{\"active\":1,\"inactive\":2,\"wired\":3,\"freeMem\":4,\"free_mem\":4,\"virtual\":5,"
            "\"resident\":6,\"user_time\":7,\"sys_time\":8}}\n";
  record += "{\"storage\":{\"free\":1,\"total\":2}}\n";
  return record;
}

// Crash records of the sizes the unwinder writes (up to 100,000 frames on each of 1,024 threads),
// under the size read at once and far over it, keep every section and every thread in a report:
// the stacks are shortened alike to their innermost frames, the crashed thread's kept whole.
TEST(RLZReportAdapterTest, CrashRecordsOfAnySizeKeepEveryThreadAndSection) {
  const std::string sample = crashRecord(3, 4, 1, 2);
  std::size_t lines = 0;
  for (std::size_t start = 0, end; (end = sample.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
    ASSERT_TRUE(platform::JSON::parse(std::string_view(sample).substr(start, end - start))) << sample;
  }
  ASSERT_EQ(lines, 7u);

  const struct {
    std::size_t threads;
    std::size_t frames;
  } cases[] = {{20, 60000}, {40, 60000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.threads) + " threads");
    const fs::path dir = crash_test::scratch("adapter-threads-" + std::to_string(c.threads));
    writeMetadata(dir, "abc", 1);
    const std::size_t crashed = 7;
    const std::string record = crashRecord(c.threads, c.frames, crashed);
    ASSERT_GT(record.size(), 2 * kRLZMaxReportBytes);
    crash_test::writeFile(dir / "signal.rlzrecord", record);

    const RLZReportAdapter adapter(dir.string(), "app", nullptr);
    EXPECT_TRUE(adapter.allRecordsRead());
    const auto packed = packedFiles(adapter);
    ASSERT_TRUE(packed.count("signal.rlzrecord"));
    const std::string& text = packed.at("signal.rlzrecord");
    EXPECT_LE(text.size(), kRLZMaxReportBytes);
    EXPECT_GT(text.size(), kRLZMaxReportBytes * 9 / 10) << "the room is used";
    // The first thread's stack tells how many frames each kept; the record is then the one made
    // with that many.
    const std::size_t first = text.find("\"stacktrace\":[");
    ASSERT_NE(first, std::string::npos) << text.substr(0, 200);
    const std::string_view trace(text.data() + first, text.find(']', first) - first);
    const std::size_t kept = static_cast<std::size_t>(std::count(trace.begin(), trace.end(), ',')) + 1;
    EXPECT_GT(kept, 1000u);
    EXPECT_LT(kept, c.frames);
    EXPECT_TRUE(text == crashRecord(c.threads, c.frames, crashed, kept))
        << "every line and thread kept, " << kept << " frames on each stack but the crashed one's";
    auto bytes = adapter.transportBytes();
    ASSERT_TRUE(bytes);
    EXPECT_LE(bytes->size(), kRLZMaxReportBytes);
  }
}

// A record streams in pieces that split its keys and the crashed mark anywhere: the shortened
// record is the same whatever the pieces.
TEST(RLZReportAdapterTest, AStreamedCrashRecordIsShortenedAlikeInPiecesOfAnySize) {
  const std::string record = crashRecord(5, 400, 2);
  const std::uint64_t length = record.size() / 2;
  const auto whole = RLZReportAdapter::crashRecordWithShorterStackTraces(platform::Data(record.begin(), record.end()),
                                                                         length);
  ASSERT_TRUE(whole);
  ASSERT_LE(whole->size(), length);
  const std::string text(whole->begin(), whole->end());
  const std::size_t first = text.find("\"stacktrace\":[");
  const std::string_view trace(text.data() + first, text.find(']', first) - first);
  const std::size_t kept = static_cast<std::size_t>(std::count(trace.begin(), trace.end(), ',')) + 1;
  EXPECT_TRUE(text == crashRecord(5, 400, 2, kept)) << kept;
  for (std::size_t piece : {1u, 3u, 14u, 15u, 4096u}) {
    RLZCrashRecordFitter fitter(length);
    for (std::size_t at = 0; at < record.size(); at += piece) fitter.measure(std::string_view(record).substr(at, piece));
    ASSERT_TRUE(fitter.finishMeasuring()) << piece;
    EXPECT_EQ(fitter.framesKept(), kept) << piece;
    for (std::size_t at = 0; at < record.size(); at += piece) fitter.write(std::string_view(record).substr(at, piece));
    EXPECT_EQ(fitter.finishWriting(), whole) << piece;
  }
}

// The record with every thread marked crashed, as a broken writer might leave it.
std::string everyThreadMarkedCrashed(const std::string& record) {
  const std::size_t start = record.find("{\"threads\":[");
  const std::size_t end = record.find('\n', start);
  std::string out = record.substr(0, start);
  for (std::size_t at = start; at < end; ++at) {
    out += record[at];
    if (record[at] == ']' && at > start && std::isdigit(static_cast<unsigned char>(record[at - 1])) &&
        record.compare(at + 1, 1, "}") == 0) {
      out += ",\"crashed\":true";
    }
  }
  return out + record.substr(end);
}

// The record's lines; an empty list when one does not parse.
std::vector<platform::Value> parsedLines(std::string_view text) {
  std::vector<platform::Value> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    auto line = platform::JSON::parse(text.substr(start, end - start));
    if (!line) return {};
    lines.push_back(std::move(*line));
  }
  return lines;
}

std::size_t framesOf(const platform::Value& thread) {
  return thread.ifDictionary()->at("stacktrace").ifArray()->size();
}

// The threads line and the crashed thread's stack stay whatever else the record holds: a line
// longer than the room is left out (the longest first when several do not fit), and of several
// threads marked crashed the first is kept whole, the others cut as any thread.
TEST(RLZReportAdapterTest, TheThreadsAndTheCrashedStackStayWhateverElseTheRecordHolds) {
  const std::string record = crashRecord(6, 400, 2);
  const std::uint64_t length = record.size() / 2;
  const std::size_t afterSignal = record.find('\n') + 1;
  auto padding = [](std::uint64_t bytes) { return "{\"padding\":\"" + std::string(bytes - 15, 'p') + "\"}\n"; };
  const std::string longer = padding(length + 10);
  const std::string large = padding(length * 6 / 10);
  const std::string small = padding(length * 2 / 10);
  struct Case {
    const char* name;
    std::string record;
    std::uint64_t leftOut;
    // The fitted record, from the number of frames each cut stack keeps; none to check its threads.
    std::function<std::string(std::size_t kept)> expected;
  };
  const Case cases[] = {
      {"a line longer than the room", record.substr(0, afterSignal) + longer + record.substr(afterSignal), 1,
       [](std::size_t kept) { return crashRecord(6, 400, 2, kept); }},
      {"two lines together longer than the room",
       record.substr(0, afterSignal) + large + record.substr(afterSignal) + small, 1,
       [&](std::size_t kept) { return crashRecord(6, 400, 2, kept) + small; }},
      {"every thread marked crashed", everyThreadMarkedCrashed(record), 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RLZCrashRecordFitter fitter(length);
    fitter.measure(c.record);
    ASSERT_TRUE(fitter.finishMeasuring());
    fitter.write(c.record);
    const auto fitted = fitter.finishWriting();
    ASSERT_TRUE(fitted);
    EXPECT_LE(fitted->size(), length);
    EXPECT_EQ(fitter.linesLeftOut(), c.leftOut);
    const std::string text(fitted->begin(), fitted->end());
    const auto lines = parsedLines(text);
    ASSERT_FALSE(lines.empty()) << "a line does not parse";
    if (c.expected) {
      EXPECT_GT(fitter.framesKept(), 0u);
      EXPECT_TRUE(text == c.expected(fitter.framesKept())) << fitter.framesKept() << " frames kept";
      continue;
    }
    ASSERT_EQ(lines.size(), 7u);
    const auto& threads = *lines[1].ifDictionary()->at("threads").ifArray();
    ASSERT_EQ(threads.size(), 6u);
    EXPECT_EQ(framesOf(threads[0]), 400u) << "the first marked thread is whole";
    for (std::size_t i = 1; i < threads.size(); ++i) {
      EXPECT_EQ(framesOf(threads[i]), fitter.framesKept()) << i;
      EXPECT_LT(framesOf(threads[i]), 400u) << i;
    }
  }

  // A report of a record far over its room because of one line: the threads arrive whole.
  const fs::path dir = crash_test::scratch("adapter-long-line");
  writeMetadata(dir, "abc", 1);
  crash_test::writeFile(dir / "signal.rlzrecord",
                        record.substr(0, afterSignal) + padding(kRLZMaxReportBytes + 1000) + record.substr(afterSignal));
  platform::testing::LogCapture log;
  const RLZReportAdapter adapter(dir.string(), "app", nullptr);
  const auto packed = packedFiles(adapter);
  ASSERT_TRUE(packed.count("signal.rlzrecord"));
  EXPECT_TRUE(packed.at("signal.rlzrecord") == record);
  EXPECT_TRUE(crash_test::logged(log, "Leaving 1 lines of report file"));
}

// What a cut leaves unused goes on to the files after it, and a file that gets no room at all is
// left out of the report rather than sent empty; an empty marker file still travels.
TEST(RLZReportAdapterTest, RoomACutLeavesGoesToTheFilesAfterIt) {
  const fs::path metadataDir = crash_test::scratch("adapter-room-metadata");
  writeMetadata(metadataDir, "abc", 1);
  const std::string metadata = crash_test::readFile(metadataDir / "metadata.rlzrecord");
  std::string symbolicated;
  while (symbolicated.size() < 6600) symbolicated += "{\"threads\":[{\"frames\":[{\"symbol\":\"main\"}]}]}\n";
  const std::string kv = "{\"kv\":{\"key\":\"6b6579\",\"value\":\"76616c7565\"}}\n";
  std::string log;
  while (log.size() < (9u << 20)) log += "{\"log\":{\"msg\":\"" + std::string(980, 'a') + "\",\"time\":1}}\n";

  struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    // What each file comes to in the report; none for a file left out.
    std::map<std::string, std::optional<std::string>> packed;
  };
  const Case cases[] = {
      {"a padding line in the metadata",
       {{"metadata.rlzrecord", metadata + std::string(9u << 20, ' ') + "\n"},
        {"signal.rlzrecord.symbolicated", symbolicated},
        {"user_incremental_kv.rlzrecord", kv}},
       {{"metadata.rlzrecord", metadata},
        {"signal.rlzrecord.symbolicated", symbolicated},
        {"user_incremental_kv.rlzrecord", kv}}},
      {"a log that takes all the room",
       {{"metadata.rlzrecord", metadata},
        {"log_a.rlzrecord", log},
        {"signal.rlzrecord.symbolicated", "{\"threads\":[\"" + std::string(4000, 's') + "\"]}\n"},
        {"custom_fatal.rlzrecord", ""}},
       {{"metadata.rlzrecord", metadata},
        {"signal.rlzrecord.symbolicated", std::nullopt},
        {"custom_fatal.rlzrecord", ""}}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = crash_test::scratch("adapter-room-" + std::to_string(n++));
    for (const auto& [name, contents] : c.files) crash_test::writeFile(dir / name, contents);
    const RLZReportAdapter adapter(dir.string(), "app", nullptr);
    auto packed = packedFiles(adapter);
    for (const auto& [name, expected] : c.packed) {
      if (!expected) {
        EXPECT_FALSE(packed.count(name)) << name << " is sent with " << packed[name].size() << " bytes";
      } else {
        ASSERT_TRUE(packed.count(name)) << name;
        EXPECT_TRUE(packed[name] == *expected) << name << ": " << packed[name].size() << " bytes of " << expected->size();
      }
    }
    auto bytes = adapter.transportBytes();
    ASSERT_TRUE(bytes);
    EXPECT_LE(bytes->size(), kRLZMaxReportBytes);
  }
}

TEST(RLZSymbolicationTest, Demangling) {
  struct Case {
    const char* symbol;
    std::optional<std::string> demangled;
  } cases[] = {
      {"_ZN3foo3barEv", "foo::bar()"},
      {"__ZN3foo3barEv_block_invoke_2", "foo::bar()_block_invoke_2"},
      {"__ZN3foo3barEv", std::nullopt},
      {"plain_c_function", std::nullopt},
      {"_Znot-mangled", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(RLZDemangleOperation::demangleSymbol(c.symbol), c.demangled) << c.symbol;
}

TEST(RLZInternalReportTest, EventsAndCrashesByFile) {
  struct Case {
    std::vector<std::string> files;
    bool events;
    bool crash;
  } cases[] = {
      {{"binary_images.rlzrecord"}, false, false},
      {{"custom_fatal.rlzrecord"}, false, true},
      {{"errors_a.rlzrecord"}, true, false},
      {{"signal.rlzrecord"}, true, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    const fs::path dir = crash_test::scratch("internal-" + std::to_string(n++));
    writeMetadata(dir, "id" + std::to_string(n), 5);
    for (const auto& file : c.files) crash_test::writeFile(dir / file, "{}\n");
    auto report = RLZInternalReport::reportWithPath(dir.string());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->hasAnyEvents(), c.events) << n;
    EXPECT_EQ(report->isCrash(), c.crash) << n;
  }
  const fs::path noIdentity = crash_test::scratch("internal-none");
  crash_test::writeFile(noIdentity / "metadata.rlzrecord", "not json\n");
  EXPECT_EQ(RLZInternalReport::reportWithPath(noIdentity.string()), nullptr);
}

TEST(RLZInternalReportTest, CrashDatePrefersTheMachException) {
  const fs::path dir = crash_test::scratch("dated");
  writeMetadata(dir, "dated", 1700000000);
  crash_test::writeFile(dir / "signal.rlzrecord", "{\"signal\":{\"time\":100}}\n");
  auto report = RLZInternalReport::reportWithPath(dir.string());
  EXPECT_EQ(report->crashedOnDate()->timeIntervalSince1970(), 100);
  crash_test::writeFile(dir / "mach_exception.rlzrecord", "{\"mach_exception\":{\"time\":200.7}}\n");
  EXPECT_EQ(report->crashedOnDate()->timeIntervalSince1970(), 200);
  EXPECT_EQ(report->dateCreated()->timeIntervalSince1970(), 1700000000);
}

// A start or crash time no writer could have taken is no time at all, converted without an
// overflowing cast.
TEST(RLZInternalReportTest, OutOfRangeTimesAreRefused) {
  const struct {
    const char* json;
    std::optional<double> seconds;
  } cases[] = {{"1700000000", 1700000000}, {"1700000000.9", 1700000000}, {"-1", std::nullopt},
               {"-1e19", std::nullopt},    {"1e19", std::nullopt},       {"18446744073709551615", std::nullopt},
               {"1e308", std::nullopt},    {"0", 0}};
  int n = 0;
  for (const auto& c : cases) {
    const fs::path dir = crash_test::scratch("times-" + std::to_string(n++));
    crash_test::writeFile(dir / "metadata.rlzrecord",
                          std::string(R"({"identity":{"session_id":"s","started_at":)") + c.json + "}}\n");
    crash_test::writeFile(dir / "signal.rlzrecord", std::string(R"({"signal":{"time":)") + c.json + "}}\n");
    auto report = RLZInternalReport::reportWithPath(dir.string());
    ASSERT_TRUE(report) << c.json;
    const auto created = report->dateCreated();
    const auto crashed = report->crashedOnDate();
    ASSERT_EQ(created.has_value(), c.seconds.has_value()) << c.json;
    ASSERT_EQ(crashed.has_value(), c.seconds.has_value()) << c.json;
    if (c.seconds) {
      EXPECT_EQ(created->timeIntervalSince1970(), *c.seconds) << c.json;
      EXPECT_EQ(crashed->timeIntervalSince1970(), *c.seconds) << c.json;
    }
  }
}

TEST(RLZIdentifiersTest, ExecutionIdentifierIsLowerCaseHex) {
  const std::string id = RLZExecutionIdentifierModel().executionID();
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
}

class FixedInstallations final : public RLZInstallationIDSource {
 public:
  std::optional<std::string> identifier;
  bool answer = true;
  void installationIDWithCompletion(Completion completion) override {
    if (answer) completion(identifier, nullptr);
  }
};

TEST(RLZIdentifiersTest, InstallIdentifierRotatesOnlyWhenTheInstallationChanges) {
  RLZUserDefaults::resetStandardUserDefaultsForTesting();
  auto installations = std::make_shared<FixedInstallations>();
  installations->identifier = "first";
  RLZUserDefaults::standardUserDefaults()->setString("old", kRLZObsoleteADIDKey);
  auto model = std::make_shared<RLZInstallIdentifierModel>(installations);
  const std::string original = model->installID();
  EXPECT_EQ(original.size(), 36u);
  EXPECT_FALSE(model->regenerateInstallIDIfNeeded());  // the first check only stores the hash
  EXPECT_FALSE(RLZUserDefaults::standardUserDefaults()->stringForKey(kRLZObsoleteADIDKey));
  EXPECT_FALSE(model->regenerateInstallIDIfNeeded());
  EXPECT_EQ(model->installID(), original);
  installations->identifier = "second";
  EXPECT_TRUE(model->regenerateInstallIDIfNeeded());
  EXPECT_NE(model->installID(), original);
  EXPECT_EQ(RLZInstallIdentifierModel::readInstallationUUID(), model->installID());
  installations->answer = false;  // never answers: the wait gives up and nothing changes
  const std::string kept = model->installID();
  EXPECT_FALSE(model->regenerateInstallIDIfNeeded(0.05));
  EXPECT_EQ(model->installID(), kept);
}

TEST(VDZStackFrameTest, Descriptions) {
  auto unsymbolicated = VDZStackFrame::stackFrameWithAddress(0x10);
  unsymbolicated->setLineNumber(4);
  unsymbolicated->setSymbol(std::string("s"));
  EXPECT_EQ(unsymbolicated->description(), "{[0x10 + 4] s}");
  unsymbolicated->setFileName(std::string("f.cpp"));
  EXPECT_EQ(unsymbolicated->description(), "{[0x10] f.cpp - s:4}");
  EXPECT_EQ(VDZStackFrame::stackFrameWithSymbol("main", "main.cpp", 12)->description(), "{main.cpp - main:12}");
}

// The report pipeline without a transport: reports move as far as "prepared" and wait there.
class RLZReportManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { RLZUserDefaults::resetStandardUserDefaultsForTesting(); }

  std::shared_ptr<RLZManagerData> managerData(bool collectionEnabled,
                                              std::shared_ptr<VDTCORTransport> transport = nullptr) {
    fileManager_ = std::make_shared<RLZFileManager>();
    fileManager_->createReportDirectories();
    auto arbiter = std::make_shared<RLZDataCollectionArbiter>(
        nullptr, platform::Value::Dictionary{{"VuduzaraRalitozeCollectionEnabled", platform::Value(collectionEnabled)}});
    auto settings = std::make_shared<RLZSettings>(fileManager_, nullptr);
    return std::make_shared<RLZManagerData>("app", std::move(transport), nullptr, nullptr, fileManager_, arbiter, settings,
                                           std::make_shared<RLZOnDemandModel>(settings));
  }
  fs::path activeReport(const std::string& name, std::uint64_t startedAt, bool withEvents = true) {
    const fs::path dir = fs::path(fileManager_->activePath()) / name;
    writeMetadata(dir, name, startedAt);
    if (withEvents) crash_test::writeFile(dir / "signal.rlzrecord", "{\"signal\":{\"time\":1}}\n");
    return dir;
  }
  void settle(const std::shared_ptr<RLZManagerData>& data) {
    for (int i = 0; i < 3; ++i) {
      platform::testing::runUntilIdle();
      platform::testing::drain(data->dispatchQueue);
    }
  }
  bool in(const std::string& stage, const std::string& name) const {
    return fs::exists(fs::path(fileManager_->structurePath()) / stage / name);
  }

  std::shared_ptr<RLZFileManager> fileManager_;
};

TEST_F(RLZReportManagerTest, KeepsTheNewestFourAndDropsEmptyOnes) {
  auto data = managerData(true);
  for (int i = 0; i < 6; ++i) activeReport("r" + std::to_string(i), 100 + i);
  activeReport("empty", 200, false);
  fs::create_directories(fs::path(fileManager_->activePath()) / "corrupt");
  crash_test::writeFile(fs::path(fileManager_->activePath()) / "corrupt" / "metadata.rlzrecord", "\x01garbage");
  RLZExistingReportManager existing(data, std::make_shared<RLZReportUploader>(data));
  existing.collectExistingReports();
  settle(data);
  EXPECT_EQ(existing.unsentReportsCount(), 4u);
  EXPECT_EQ(existing.newestUnsentReport()->reportID(), "r5");
  for (const char* gone : {"r0", "r1", "empty"}) EXPECT_FALSE(in("active", gone)) << gone;
  for (const char* kept : {"r2", "r5", "corrupt"}) EXPECT_TRUE(in("active", kept)) << kept;
}

TEST_F(RLZReportManagerTest, WithCollectionOffNothingMovesUntilTheAppDecides) {
  struct Case {
    bool send;
  } cases[] = {{true}, {false}};
  for (const auto& c : cases) {
    RLZUserDefaults::resetStandardUserDefaultsForTesting();
    auto data = managerData(false);
    fs::remove_all(fileManager_->rootPath());
    fileManager_->createReportDirectories();
    activeReport("waiting", 100);
    crash_test::writeFile(fs::path(fileManager_->activePath()) / "waiting" / "exception.rlzrecord", "\x01\x02");
    auto existing = std::make_shared<RLZExistingReportManager>(data, std::make_shared<RLZReportUploader>(data));
    auto manager = std::make_shared<RLZReportManager>(data, existing, nullptr);
    manager->setSettingsManager(nullptr);  // no backend here
    bool hasReport = false;
    manager->checkForUnsentReports()->then([&](const std::shared_ptr<VDZRalitozeReport>& r) { hasReport = r != nullptr; });
    auto started = manager->startWithProfilingMark(0);
    settle(data);
    EXPECT_TRUE(hasReport);
    EXPECT_TRUE(in("active", "waiting"));
    EXPECT_TRUE(started->isPending());
    if (c.send) {
      manager->sendUnsentReports();
    } else {
      manager->deleteUnsentReports();
    }
    settle(data);
    EXPECT_FALSE(in("active", "waiting"));
    // No transport here: a sent report waits in "prepared", symbolication having coped with its
    // corrupt crash file.
    EXPECT_EQ(in("prepared", "waiting"), c.send);
    EXPECT_TRUE(started->isFulfilled());
    RLZCrashCaptureUninstallForTesting();
    RLZContextResetForTesting();
  }
}

// The launch on a home whose report folders hold what nobody should find there: FIFOs named like
// records and settings, links to files outside, a link in place of a report directory and one in
// place of a symbolicated file.
TEST_F(RLZReportManagerTest, HostileFilesInTheReportFoldersNeitherStopTheLaunchNorTravel) {
  fileManager_ = std::make_shared<RLZFileManager>();
  fileManager_->createReportDirectories();
  const fs::path outside = crash_test::scratch("outside");
  crash_test::writeFile(outside / "secret", "secret contents");
  crash_test::writeFile(outside / "victim", "victim contents");
  writeMetadata(outside / "elsewhere", "elsewhere", 300);
  crash_test::writeFile(outside / "elsewhere" / "signal.rlzrecord", "{}\n");
  const fs::path active = fileManager_->activePath();
  fs::create_symlink(outside / "elsewhere", active / "linked");

  const fs::path good = activeReport("good", 200);
  crash_test::writeFile(good / "signal.rlzrecord", R"({"threads":[{"stacktrace":[1,2]}]})" "\n");
  crash_test::writeFile(good / "binary_images.rlzrecord", R"({"load":{"base":0,"size":16,"uuid":"u"}})" "\n");
  fs::create_symlink(outside / "secret", good / "exception.rlzrecord");
  fs::create_symlink(outside / "victim", good / "signal.rlzrecord.symbolicated");
  platform::testing::PlantedFifos fifos({active / "fifo" / "metadata.rlzrecord", good / "errors_a.rlzrecord",
                      fileManager_->settingsFilePath()});

  auto data = managerData(true);
  auto existing = std::make_shared<RLZExistingReportManager>(data, std::make_shared<RLZReportUploader>(data));
  auto manager = std::make_shared<RLZReportManager>(data, existing, nullptr);
  manager->setSettingsManager(nullptr);
  manager->startWithProfilingMark(0);
  settle(data);
  const bool hung = fifos.finish();
  RLZCrashCaptureUninstallForTesting();
  RLZContextResetForTesting();

  EXPECT_FALSE(hung) << "the launch waited on a FIFO";
  EXPECT_TRUE(fs::is_symlink(active / "linked"));
  EXPECT_TRUE(fs::exists(outside / "elsewhere" / "signal.rlzrecord"));
  EXPECT_EQ(crash_test::readFile(outside / "victim"), "victim contents");
  ASSERT_TRUE(in("prepared", "good"));
  std::vector<std::string> names;
  const RLZReportAdapter adapter((fs::path(fileManager_->preparedPath()) / "good").string(), "app", nullptr);
  for (const auto& file : adapter.report().files) {
    names.push_back(file.filename);
    EXPECT_EQ(std::string(file.contents.begin(), file.contents.end()).find("secret"), std::string::npos);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"binary_images.rlzrecord", "metadata.rlzrecord", "signal.rlzrecord"}));
}

// A prepared report is packaged at most a few times: one whose earlier attempts all failed is
// deleted, one that packages clears its count, an attempt cut short counts only when no crash path
// watched it (a crash of a watched one writes its own failure), and a huge file is cut instead of
// failing the packaging.
TEST_F(RLZReportManagerTest, APreparedReportThatKeepsFailingToPackageIsDeletedAfterItsAttempts) {
  // No storage is registered here: the hand-off fails after the packaging, which leaves the
  // report in "prepared" without counting against it.
  auto data = managerData(true, VDTCORTransport::initWithMappingID("1206", {}, 1002));
  const fs::path prepared = fileManager_->preparedPath();
  const std::string twoFailures(kRLZMaxPackagingAttempts - 1, 'f');
  const struct {
    const char* name;
    std::string failures;
    const char* marker;
    bool huge;
    bool kept;
  } cases[] = {{"fresh", "", nullptr, false, true},
               {"retried", twoFailures, nullptr, false, true},
               {"huge", "", nullptr, true, true},
               {"used-up", std::string(kRLZMaxPackagingAttempts, 'f'), nullptr, false, false},
               {"killed-while-watched", twoFailures, "w", false, true},
               {"cut-short-unwatched", twoFailures, "u", false, false}};
  for (const auto& c : cases) {
    writeMetadata(prepared / c.name, c.name, 100);
    crash_test::writeFile(prepared / c.name / "signal.rlzrecord", "{}\n");
    if (!c.failures.empty()) crash_test::writeFile(prepared / c.name / kRLZPackagingFailuresFileName, c.failures);
    if (c.marker) crash_test::writeFile(prepared / c.name / kRLZPackagingMarkerFileName, c.marker);
    if (c.huge) {
      crash_test::writeFile(prepared / c.name / "log_a.rlzrecord", "");
      ASSERT_EQ(::truncate((prepared / c.name / "log_a.rlzrecord").c_str(), kHugeSparseSize), 0);
    }
  }
  auto existing = std::make_shared<RLZExistingReportManager>(data, std::make_shared<RLZReportUploader>(data));
  auto manager = std::make_shared<RLZReportManager>(data, existing, nullptr);
  manager->setSettingsManager(nullptr);
  manager->startWithProfilingMark(0);
  settle(data);
  RLZCrashCaptureUninstallForTesting();
  RLZContextResetForTesting();
  for (const auto& c : cases) {
    EXPECT_EQ(in("prepared", c.name), c.kept) << c.name;
    if (c.kept) {
      EXPECT_FALSE(fs::exists(prepared / c.name / kRLZPackagingFailuresFileName)) << c.name;
      EXPECT_FALSE(fs::exists(prepared / c.name / kRLZPackagingMarkerFileName)) << c.name;
    }
  }
}

// A storage that keeps every store request unanswered until the test answers it.
class SilentStorage final : public VDTCORStorageProtocol {
 public:
  void storeEvent(std::shared_ptr<VDTCOREvent>, StoreCompletion onComplete) override {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(onComplete));
    arrived_.notify_all();
  }
  // Whether a store request came within the time.
  bool awaitRequest(double seconds) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return !pending_.empty(); });
  }
  void answerAll(bool written) {
    std::vector<StoreCompletion> pending;
    {
      std::lock_guard lock(mutex_);
      pending.swap(pending_);
    }
    for (auto& completion : pending) completion(written, platform::Error());
  }
  void hasEventsForTarget(VDTCORTarget, std::function<void(bool)>) override {}
  void batchWithEventSelector(std::shared_ptr<VDTCORStorageEventSelector>, platform::Date, BatchCompletion) override {}
  void removeBatchWithID(std::int64_t, bool, std::function<void()>) override {}
  void batchIDsForTarget(VDTCORTarget, std::function<void(std::optional<VDTCORBatchIDs>)>) override {}
  void checkForExpirations() override {}
  void storeLibraryData(platform::Data, std::string, ErrorCompletion) override {}
  void libraryDataForKey(std::string, FetchCompletion, NewValueBlock) override {}
  void removeLibraryDataForKey(std::string, ErrorCompletion) override {}
  void storageSizeWithCallback(std::function<void(std::uint64_t)>) override {}
  std::shared_ptr<VDTCORStorageDelegate> delegate() const override { return nullptr; }
  void setDelegate(std::weak_ptr<VDTCORStorageDelegate>) override {}

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<StoreCompletion> pending_;
};

// An urgent hand-off the transport never answers gives up at its limit instead of holding the
// launch's work queue for ever; the report stays prepared, and a late answer still removes it.
TEST_F(RLZReportManagerTest, AnUnansweredUrgentHandOffGivesUpAtItsLimit) {
  auto storage = std::make_shared<SilentStorage>();
  VDTCORRegistrar::sharedInstance()->registerStorage(storage, 1002);
  auto data = managerData(true, VDTCORTransport::initWithMappingID("1206", {}, 1002));
  const fs::path report = fs::path(fileManager_->preparedPath()) / "stuck";
  writeMetadata(report, "stuck", 100);
  crash_test::writeFile(report / "signal.rlzrecord", "{}\n");
  platform::testing::LogCapture log;

  RLZReportUploader uploader(data);
  std::promise<void> returned;
  auto handOffReturned = returned.get_future();
  std::thread handOff([&] {
    uploader.uploadPackagedReportAtPath(report.string(), RLZDataCollectionToken::validToken(), true, 0.2);
    returned.set_value();
  });
  const bool gaveUp = handOffReturned.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  ASSERT_TRUE(storage->awaitRequest(20));
  const bool preparedAfterGivingUp = in("prepared", "stuck");
  storage->answerAll(true);  // frees a hand-off still waiting, so a failure here cannot hang
  handOff.join();
  VDTCORRegistrar::resetSharedInstanceForTesting();

  EXPECT_TRUE(gaveUp) << "the urgent hand-off waited past its limit";
  EXPECT_TRUE(preparedAfterGivingUp);
  EXPECT_TRUE(crash_test::logged(log, "Timed out waiting for VidezuDataTransport"));
  EXPECT_FALSE(in("prepared", "stuck")) << "the late answer removes the stored report";
}

}  // namespace

namespace {

void otherHandler(int) {}

// Two seconds after set-up the launch checks that its handlers are still the ones in place and
// says so on standard error when another took over a signal.
TEST_F(RLZReportManagerTest, HandlerCheckTwoSecondsAfterSetUpNamesATakenSignal) {
  auto data = managerData(true);
  auto existing = std::make_shared<RLZExistingReportManager>(data, std::make_shared<RLZReportUploader>(data));
  auto manager = std::make_shared<RLZReportManager>(data, existing);
  manager->setSettingsManager(nullptr);
  manager->startWithProfilingMark(0);
  platform::testing::runUntilIdle();
  struct sigaction other {};
  other.sa_handler = otherHandler;
  struct sigaction earlier {};
  ASSERT_EQ(sigaction(SIGTRAP, &other, &earlier), 0);

  const fs::path captured = crash_test::scratch("stderr") / "stderr.txt";
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int file = open(captured.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  dup2(file, STDERR_FILENO);
  platform::testing::advance(1.9);
  std::fflush(stderr);
  const std::string early = crash_test::readFile(captured);
  platform::testing::advance(0.2);
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(file);
  sigaction(SIGTRAP, &earlier, nullptr);

  EXPECT_EQ(early.find("non-Ralitoze handler"), std::string::npos);
  const std::string text = crash_test::readFile(captured);
  EXPECT_NE(text.find("[Ralitoze] The signal SIGTRAP has a non-Ralitoze handler"), std::string::npos) << text;
  EXPECT_EQ(text.find("The signal SIGSEGV"), std::string::npos) << text;
  RLZCrashCaptureUninstallForTesting();
  RLZContextResetForTesting();
}

}  // namespace
