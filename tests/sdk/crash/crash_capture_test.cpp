// Real crashes of a child process (the crash probe): each must leave a complete record in its
// report directory and still end the child by its true signal.
#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "crash_test_support.h"
#include "platform/foundation/value.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/reports/rlz_symbolication.h"

extern char** environ;

namespace {

struct ProbeRun {
  int status = 0;
  std::filesystem::path report;
  std::filesystem::path root;
  std::string out;
  std::string stdoutText;
};

// Every probe ends within a second or so; the limit only turns a stuck child into a failure.
constexpr std::chrono::milliseconds kProbeLimit{30'000};

ProbeRun runProbe(const std::string& mode, const char* probe = CRASH_PROBE,
                  std::chrono::milliseconds limit = kProbeLimit) {
  ProbeRun run;
  static int runs = 0;
  const auto base = crash_test::scratch("probe-" + mode + "-" + std::to_string(++runs));
  run.report = base / "report";
  run.root = base / "root";
  std::filesystem::create_directories(run.report);
  std::filesystem::create_directories(run.root);
  const auto out = base / "out";
  const auto stdoutPath = base / "stdout";
  const auto stderrPath = base / "stderr";
  rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  // The sanitizer's own alternate signal stacks are left off: each thread must have the reporter's.
  std::vector<std::string> env = {
      "FOCUS_HOME=" + base.string(),
      "ASAN_OPTIONS=use_sigaltstack=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:detect_leaks=0:"
      "allow_user_segv_handler=1",
      "UBSAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0"};
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string modeArg = mode, reportArg = run.report.string(), rootArg = run.root.string(), outArg = out.string();
  char* argv[] = {const_cast<char*>(probe), modeArg.data(), reportArg.data(), rootArg.data(), outArg.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, probe, &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  const auto status = platform::testing::waitForChild(pid, std::chrono::duration<double>(limit).count());
  EXPECT_TRUE(status) << mode << " still ran after " << limit.count() << " ms and was killed";
  run.status = status.value_or(0);
  run.out = crash_test::readFile(out);
  run.stdoutText = crash_test::readFile(stdoutPath);
  // The crash itself is the probe's: the sanitizers leave its signals alone, and report nothing.
  const std::string errors = crash_test::readFile(stderrPath);
  EXPECT_EQ(platform::testing::sanitizerReport(errors), "") << mode << "\n" << errors;
  return run;
}

platform::Value::Array sections(const std::filesystem::path& path) {
  auto lines = RLZFileReadSections(path.c_str(), false);
  return lines ? *lines : platform::Value::Array{};
}

std::vector<std::string> keys(const platform::Value::Array& lines) {
  std::vector<std::string> result;
  for (const auto& line : lines) {
    for (const auto& [key, value] : line.dictionaryOrEmpty()) result.push_back(key);
  }
  return result;
}

const platform::Value& crashedThread(const platform::Value::Array& lines) {
  for (const auto& line : lines) {
    for (const auto& thread : line["threads"].arrayOrEmpty()) {
      if (thread["crashed"].boolValue()) return thread;
    }
  }
  return platform::Value::null();
}

int crashedCount(const platform::Value::Array& lines) {
  int count = 0;
  for (const auto& line : lines) {
    for (const auto& thread : line["threads"].arrayOrEmpty()) count += thread["crashed"].boolValue() ? 1 : 0;
  }
  return count;
}

void expectCompleteRecord(const ProbeRun& run, const char* file, const char* crashLine) {
  const auto lines = sections(run.report / file);
  const std::vector<std::string> expected = {crashLine,      "threads",       "runtime", "dispatch_queue_names",
                                             "thread_names", "process_stats", "storage"};
  EXPECT_EQ(keys(lines), expected) << file;
  EXPECT_EQ(crashedCount(lines), 1);
  EXPECT_TRUE(std::filesystem::exists(run.root / "previously-crashed"));
  // The recording's diagnostics, gathered while it ran, reach the SDK log in order to the end.
  const std::string log = crash_test::readFile(run.report / "sdk.log");
  const auto first = log.find("recording thread 0 data");
  const auto last = log.find("Completed recording all thread data");
  EXPECT_NE(first, std::string::npos) << file;
  EXPECT_NE(last, std::string::npos) << file;
  EXPECT_LT(first, last) << file;
}

// Where the image's first byte lies in its own link-time addresses: the virtual address of the
// loadable segment that starts at the file's start (0 for a position-independent executable).
std::optional<std::uint64_t> linkTimeBase(const std::string& path) {
  // The headers lie at the file's start.
  std::string file(64 * 1024, '\0');
  std::ifstream in(path, std::ios::binary);
  in.read(file.data(), static_cast<std::streamsize>(file.size()));
  file.resize(static_cast<std::size_t>(in.gcount()));
  Elf64_Ehdr header;
  if (file.size() < sizeof header) return std::nullopt;
  std::memcpy(&header, file.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return std::nullopt;
  for (std::size_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment;
    const std::size_t at = header.e_phoff + i * sizeof segment;
    if (at + sizeof segment > file.size()) return std::nullopt;
    std::memcpy(&segment, file.data() + at, sizeof segment);
    if (segment.p_type == PT_LOAD && segment.p_offset == 0) return segment.p_vaddr;
  }
  return std::nullopt;
}

// A function's plain name out of a demangled one: "(anonymous namespace)::crashNow()" is "crashNow".
std::string plainName(std::string name) {
  const std::string anonymous = "(anonymous namespace)::";
  for (std::size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
  name = name.substr(0, name.find('('));
  const std::size_t scope = name.rfind("::");
  return scope == std::string::npos ? name : name.substr(scope + 2);
}

// Names each frame the way a developer reads a crash: from the debug information of the image
// that holds it, found through the report's own binary-image record. The debug information knows
// every part of an optimised function, however far from its start the compiler moved a cold part.
// A return address names its call, one byte back.
std::vector<std::string> frameNames(const ProbeRun& run, const platform::Value& thread) {
  RLZSymbolResolver images;
  images.loadBinaryImagesFromFile((run.report / "binary_images.rlzrecord").string());
  const auto& stacktrace = thread["stacktrace"].arrayOrEmpty();
  std::vector<std::string> result(stacktrace.size(), "?");
  // Per image file: the frames it holds and their link-time addresses, named in one run of addr2line.
  std::map<std::string, std::vector<std::pair<std::size_t, std::uint64_t>>> byImage;
  for (std::size_t i = 0; i < stacktrace.size(); ++i) {
    const std::uint64_t pc = stacktrace[i].unsignedValue() - (i > 0 ? 1 : 0);
    const auto* image = images.loadedBinaryImageForPC(pc);
    if (!image) continue;
    const auto path = image->find("path");
    const auto base = image->find("base");
    if (path == image->end() || !path->second.ifString() || base == image->end()) continue;
    const auto linked = linkTimeBase(*path->second.ifString());
    if (!linked) continue;
    byImage[*path->second.ifString()].emplace_back(i, pc - base->second.unsignedValue() + *linked);
  }
  for (const auto& [path, frames] : byImage) {
    std::string command = "addr2line -C -f -i -a -e '" + path + "'";
    char hex[24];
    for (const auto& [index, address] : frames) {
      snprintf(hex, sizeof hex, " 0x%llx", static_cast<unsigned long long>(address));
      command += hex;
    }
    command += " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) continue;
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    pclose(pipe);
    // Each address comes first on a line of its own ("0x..."), then a function and a place for
    // every inlined level, innermost first: the last function is the one the code belongs to.
    std::istringstream lines(output);
    std::string line;
    std::size_t frame = 0;
    bool started = false;
    bool functionNext = false;
    while (std::getline(lines, line)) {
      if (line.starts_with("0x")) {
        if (started) ++frame;
        started = true;
        functionNext = true;
      } else if (started && frame < frames.size()) {
        if (functionNext && line != "??") result[frames[frame].first] = plainName(line);
        functionNext = !functionNext;
      }
    }
  }
  return result;
}

struct SignalCase {
  const char* mode;
  int signal;
  const char* name;
};

TEST(CrashCaptureTest, EveryFatalSignalLeavesACompleteRecordAndEndsTheProcessByIt) {
  const SignalCase cases[] = {
      {"segv", SIGSEGV, "SIGSEGV"},          {"abort", SIGABRT, "SIGABRT"},
      {"ill", SIGILL, "SIGILL"},             {"fpe", SIGFPE, "SIGFPE"},
      {"bus", SIGBUS, "SIGBUS"},             {"overflow-main", SIGSEGV, "SIGSEGV"},
      {"overflow-worker", SIGSEGV, "SIGSEGV"}, {"worker", SIGSEGV, "SIGSEGV"},
      {"two", SIGSEGV, "SIGSEGV"},
      // Threads made without the dispatch pool overflow their stacks too.
      {"overflow-thread", SIGSEGV, "SIGSEGV"}, {"overflow-pthread", SIGSEGV, "SIGSEGV"},
      // Signals after which the thread resumes past the instruction: a breakpoint trap and a
      // system call refused by a filter. Returning from the handler alone would let it run on.
      {"trap", SIGTRAP, "SIGTRAP"},          {"seccomp", SIGSYS, "SIGSYS"},
      {"trap-ignored", SIGTRAP, "SIGTRAP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const ProbeRun run = runProbe(c.mode);
    ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status;
    EXPECT_EQ(WTERMSIG(run.status), c.signal);
    expectCompleteRecord(run, "signal.rlzrecord", "signal");
    const auto lines = sections(run.report / "signal.rlzrecord");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["signal"]["name"].string(), c.name);
    EXPECT_EQ(lines[0]["signal"]["number"].unsignedValue(), static_cast<uint64_t>(c.signal));
  }
}

TEST(CrashCaptureTest, UncaughtExceptionsAreRecordedByKindBeforeTheAbort) {
  struct Case {
    const char* mode;
    const char* type;
    const char* name;
    const char* reason;
  };
  const Case cases[] = {
      {"throw-cstr", "c++", "const char *", "a C string"},
      {"throw-string", "c++", "std::string", "a standard string"},
      {"throw-badalloc", "c++", "std::bad_alloc", "std::bad_alloc"},
      {"throw-runtime", "c++", "std::runtime_error", "a runtime error"},
      {"throw-pointer", "c++", "std::exception const*", "a pointed-to error"},
      {"throw-int", "c++", "int", ""},
      {"throw-platform", "objective-c", "NSInvalidArgumentException", "a platform exception"},
      // Thrown by a block on a dispatch worker or a timer of the main run loop: neither catches it on
      // the way to the terminate handler.
      {"worker-throw-runtime", "c++", "std::runtime_error", "a runtime error"},
      {"worker-throw-platform", "objective-c", "NSInvalidArgumentException", "a platform exception"},
      {"serial-throw-runtime", "c++", "std::runtime_error", "a runtime error"},
      {"sync-throw-platform", "objective-c", "NSInvalidArgumentException", "a platform exception"},
      {"timer-throw-runtime", "c++", "std::runtime_error", "a runtime error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const ProbeRun run = runProbe(c.mode);
    ASSERT_TRUE(WIFSIGNALED(run.status));
    EXPECT_EQ(WTERMSIG(run.status), SIGABRT);
    expectCompleteRecord(run, "exception.rlzrecord", "exception");
    const auto lines = sections(run.report / "exception.rlzrecord");
    ASSERT_FALSE(lines.empty());
    const auto& exception = lines[0]["exception"];
    EXPECT_EQ(exception["type"].string(), c.type);
    EXPECT_EQ(RLZFileHexDecodeString(exception["name"].string().c_str()).value_or("?"), c.name);
    EXPECT_EQ(RLZFileHexDecodeString(exception["reason"].string().c_str()).value_or("?"), c.reason);
    // The stack is recorded as it stood when the exception was thrown, not after unwinding.
    const auto names = frameNames(run, crashedThread(lines));
    const std::vector<std::string> chain = {"crashNow", "level3", "level2", "level1"};
    EXPECT_NE(std::search(names.begin(), names.end(), chain.begin(), chain.end()), names.end())
        << ::testing::PrintToString(names);
    // The abort that follows is a signal of its own, recorded as well.
    EXPECT_FALSE(sections(run.report / "signal.rlzrecord").empty());
  }
}

TEST(CrashCaptureTest, ThreadsThatCannotBeSuspendedDoNotStallTheCrash) {
  // A hundred threads block the suspension signal. They share one wait for the others to stop:
  // a wait of its own for each would keep the crashing process alive for 25 seconds.
  const ProbeRun run = runProbe("unsuspendable", CRASH_PROBE, std::chrono::milliseconds(8'000));
  ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status;
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
  expectCompleteRecord(run, "signal.rlzrecord", "signal");
  const auto lines = sections(run.report / "signal.rlzrecord");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_GT(lines[1]["threads"].arrayOrEmpty().size(), 100u);
}

TEST(CrashCaptureTest, CrashedThreadUnwindsThroughTheCallChainAsLibunwindDoes) {
  for (const char* probe : {CRASH_PROBE, CRASH_PROBE_NOFP}) {
    SCOPED_TRACE(probe);
    const ProbeRun run = runProbe("oracle", probe);
    ASSERT_TRUE(WIFSIGNALED(run.status));
    const auto lines = sections(run.report / "signal.rlzrecord");
    const auto& thread = crashedThread(lines);
    const auto names = frameNames(run, thread);
    const std::vector<std::string> chain = {"crashNow", "level3", "level2", "level1", "main"};
    auto at = std::search(names.begin(), names.end(), chain.begin(), chain.end());
    EXPECT_NE(at, names.end()) << ::testing::PrintToString(names);

    std::vector<uint64_t> oracle;
    std::istringstream in(run.out);
    std::string line;
    std::getline(in, line);  // the symbols
    for (uint64_t pc; in >> pc;) oracle.push_back(pc);
    std::vector<uint64_t> ours;
    for (const auto& frame : thread["stacktrace"].arrayOrEmpty()) ours.push_back(frame.unsignedValue());
    ASSERT_GE(oracle.size(), 5u);
    ASSERT_GE(ours.size(), 5u);
    const size_t common = std::min(ours.size(), oracle.size());
    EXPECT_EQ(std::vector<uint64_t>(ours.begin(), ours.begin() + common),
              std::vector<uint64_t>(oracle.begin(), oracle.begin() + common));
  }
}

TEST(CrashCaptureTest, EarlierHandlerIsCalledOnceWithTheSameArguments) {
  const ProbeRun run = runProbe("earlier");
  ASSERT_TRUE(WIFSIGNALED(run.status));
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
  std::istringstream in(run.out);
  std::string symbols;
  std::getline(in, symbols);
  std::vector<uint64_t> calls;
  for (uint64_t v; in >> v;) calls.push_back(v);
  EXPECT_EQ(calls, (std::vector<uint64_t>{SIGSEGV, 0}));
  expectCompleteRecord(run, "signal.rlzrecord", "signal");
}

TEST(CrashCaptureTest, NothingIsAllocatedBetweenTheSignalAndTheEndOfTheRecord) {
  const ProbeRun run = runProbe("noalloc");
  ASSERT_TRUE(WIFSIGNALED(run.status));
  std::istringstream in(run.out);
  std::string symbols;
  std::getline(in, symbols);
  int allocations = -1;
  in >> allocations;
  EXPECT_EQ(allocations, 0);
}

TEST(CrashCaptureTest, ExceptionPortServerRecordsAndRepliesOnlyForItsOwnTask) {
  const ProbeRun own = runProbe("mach");
  ASSERT_TRUE(WIFEXITED(own.status));
  EXPECT_EQ(own.stdoutText, "0 36 2505\n");
  expectCompleteRecord(own, "mach_exception.rlzrecord", "mach_exception");
  const auto lines = sections(own.report / "mach_exception.rlzrecord");
  const auto& line = lines[0]["mach_exception"];
  EXPECT_EQ(line["name"].string(), "EXC_BAD_ACCESS");
  EXPECT_EQ(line["code_name"].string(), "KERN_INVALID_ADDRESS");
  EXPECT_EQ(line["codes"], platform::Value(platform::Value::Array{platform::Value(1u), platform::Value(16u)}));

  const ProbeRun foreign = runProbe("mach-foreign");
  EXPECT_EQ(foreign.stdoutText, "5 36 2505\n");
  EXPECT_TRUE(sections(foreign.report / "mach_exception.rlzrecord").empty());
}

}  // namespace
