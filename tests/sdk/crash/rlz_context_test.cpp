#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#include "crash_test_support.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/dyld/dyld.h"
#include "platform/testing/testing.h"
#include "sdk/crash/context/rlz_binary_image.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/records/rlz_allocator.h"
#include "sdk/crash/records/rlz_context_state.h"

namespace {

class RLZContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    report_ = crash_test::scratch("report");
    root_ = crash_test::scratch("root");
  }
  void TearDown() override { RLZContextResetForTesting(); }

  void initialize() {
    RLZContextInitStrings strings{report_.string(), root_.string(), "0123456789abcdef0123456789abcdef"};
    ASSERT_TRUE(RLZContextInitializeWithData(RLZContextBuildInitData(strings, nullptr)));
    settle();
    ASSERT_TRUE(RLZContextIsInitialized());
  }
  void settle() {
    platform::testing::runUntilIdle();
    platform::testing::drain(RLZContextBinaryImageQueue());
  }
  platform::Value::Array lines(const char* name) {
    return RLZFileReadSections((report_ / name).c_str(), false).value_or(platform::Value::Array{});
  }
  // Runs `body` in a child process and answers the signal that ended it (0 for a normal exit).
  static int signalOfChild(void (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
      // The plain fault, not a sanitizer's report of it.
      struct sigaction plain {};
      plain.sa_handler = SIG_DFL;
      sigaction(SIGSEGV, &plain, nullptr);
      body();
      _exit(0);
    }
    const auto status = platform::testing::waitForChild(pid, 30);
    EXPECT_TRUE(status) << "the child did not end";
    return status && WIFSIGNALED(*status) ? WTERMSIG(*status) : 0;
  }

  std::filesystem::path report_;
  std::filesystem::path root_;
};

TEST_F(RLZContextTest, MetadataRecordHasItsFourLines) {
  initialize();
  const auto metadata = lines("metadata.rlzrecord");
  ASSERT_EQ(metadata.size(), 4u);
  EXPECT_EQ(metadata[0]["identity"]["session_id"], platform::Value("0123456789abcdef0123456789abcdef"));
  EXPECT_EQ(metadata[0]["identity"]["absolute_log_timestamps"], platform::Value(true));
  EXPECT_EQ(metadata[1]["host"]["platform"], platform::Value("ios"));
  EXPECT_TRUE(metadata[2].contains("application"));
  const auto& executable = metadata[3]["executable"];
  EXPECT_EQ(executable["architecture"], platform::Value("x86_64"));
  EXPECT_EQ(executable["uuid"].string().size(), 32u);
  EXPECT_GT(executable["size"].unsignedValue(), 0u);
  // The image table knows this very function.
  RLZBinaryImageRuntimeNode node{};
  ASSERT_TRUE(RLZBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(&signalOfChild), &node));
  EXPECT_EQ(node.baseAddress, executable["base"].unsignedValue());
  EXPECT_NE(node.ehFrame, 0u);
  EXPECT_FALSE(RLZBinaryImageSafeFindImageForAddress(1, &node));
}

TEST_F(RLZContextTest, ProtectedHalfAndGuardPagesFault) {
  initialize();
  EXPECT_EQ(signalOfChild([] { _rlzContext.readonly->debuggerAttached = true; }), SIGSEGV);
  EXPECT_EQ(signalOfChild([] {
              volatile char* guard = static_cast<char*>(_rlzContext.allocator->buffer);
              *guard = 1;
            }),
            SIGSEGV);
  EXPECT_EQ(signalOfChild([] { _rlzContext.writable->crashOccurred = false; }), 0);
}

TEST_F(RLZContextTest, CrashLatchAnswersFalseExactlyOnce) {
  EXPECT_FALSE(RLZContextMarkAndCheckIfCrashed());  // no context yet: nothing latched
  RLZContextBaseInit();                               // before set-up finishes the latch holds too
  std::atomic<int> firsts{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (!RLZContextMarkAndCheckIfCrashed()) ++firsts;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(firsts.load(), 1);
}

TEST_F(RLZContextTest, AllocatorRoundsAndFallsBack) {
  const std::size_t page = RLZAllocatorPageSize();
  RLZAllocator* allocator = RLZAllocatorCreate(page, 64);
  ASSERT_TRUE(allocator);
  EXPECT_EQ(allocator->writableRegion.size, 2 * page);
  void* a = RLZAllocatorSafeAllocate(allocator, 3, RLZAllocatorRegionWritable);
  void* b = RLZAllocatorSafeAllocate(allocator, 5, RLZAllocatorRegionWritable);
  EXPECT_EQ(static_cast<char*>(b) - static_cast<char*>(a), 16);
  EXPECT_EQ(RLZAllocatorSafeAllocate(allocator, 8, 7), nullptr);
  ASSERT_TRUE(RLZAllocatorProtect(allocator));
  void* heap = RLZAllocatorSafeAllocate(allocator, 8, RLZAllocatorRegionReadable);
  EXPECT_TRUE(heap);
  std::free(heap);
  RLZAllocatorDestroyForTesting(allocator);
}

TEST_F(RLZContextTest, ImagesLoadedAndUnloadedThousandsOfTimes) {
  initialize();
  for (int i = 0; i < 2000; ++i) {
    void* handle = platform::dyld::open(CRASH_TEST_IMAGE, RTLD_NOW);
    ASSERT_TRUE(handle);
    if (i == 0) {
      settle();
      auto function = reinterpret_cast<uintptr_t>(dlsym(handle, "crash_test_image_value"));
      RLZBinaryImageRuntimeNode node{};
      EXPECT_TRUE(RLZBinaryImageSafeFindImageForAddress(function, &node));
      platform::dyld::close(handle);
      settle();
      EXPECT_FALSE(RLZBinaryImageSafeFindImageForAddress(function, &node));
      continue;
    }
    platform::dyld::close(handle);
  }
  settle();
  int loads = 0, unloads = 0;
  for (const auto& line : lines("binary_images.rlzrecord")) {
    if (line["load"]["path"].string() == CRASH_TEST_IMAGE) ++loads;
    if (line["unload"]["path"].string() == CRASH_TEST_IMAGE) {
      ++unloads;
      EXPECT_EQ(line["unload"]["uuid"].string().size(), 32u);
    }
  }
  EXPECT_EQ(loads, 2000);
  EXPECT_EQ(unloads, 2000);
  // A fresh load still finds a slot: unloaded slots are reused.
  void* handle = platform::dyld::open(CRASH_TEST_IMAGE, RTLD_NOW);
  settle();
  RLZBinaryImageRuntimeNode node{};
  EXPECT_TRUE(RLZBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(dlsym(handle, "crash_test_image_value")), &node));
  platform::dyld::close(handle);
}

TEST_F(RLZContextTest, LookupsDuringConcurrentLoads) {
  initialize();
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    RLZBinaryImageRuntimeNode node{};
    while (!stop) ASSERT_TRUE(RLZBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(&signalOfChild), &node));
  });
  for (int i = 0; i < 200; ++i) {
    void* handle = platform::dyld::open(CRASH_TEST_IMAGE, RTLD_NOW);
    platform::dyld::close(handle);
  }
  settle();
  stop = true;
  reader.join();
}

TEST_F(RLZContextTest, FrameworkImagesCarryTheirBundle) {
  initialize();
  const auto framework = crash_test::scratch("Foo.framework");
  std::filesystem::copy_file(CRASH_TEST_IMAGE, framework / "Foo", std::filesystem::copy_options::overwrite_existing);
  crash_test::writeFile(framework / "Info.plist",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                        "<key>CFBundleIdentifier</key><string>com.example.foo</string>"
                        "<key>CFBundleVersion</key><string>7</string>"
                        "<key>CFBundleShortVersionString</key><string></string></dict></plist>");
  void* handle = platform::dyld::open((framework / "Foo").c_str(), RTLD_NOW);
  ASSERT_TRUE(handle);
  settle();
  platform::dyld::close(handle);
  settle();
  bool found = false;
  for (const auto& line : lines("binary_images.rlzrecord")) {
    const auto& load = line["load"];
    if (load["path"].string() != (framework / "Foo").string()) continue;
    found = true;
    EXPECT_EQ(load["bundle_id"], platform::Value("com.example.foo"));
    EXPECT_EQ(load["build_version"], platform::Value("7"));
    EXPECT_FALSE(load.contains("display_version"));
  }
  EXPECT_TRUE(found);
}

}  // namespace
