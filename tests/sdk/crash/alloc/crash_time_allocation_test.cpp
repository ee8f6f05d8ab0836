// Crash-time code must not allocate: every heap entry point of this executable is wrapped at link
// time and counted while the "crashing" flag is up.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "crash_test_support.h"
#include "platform/testing/testing.h"
#include "sdk/crash/context/rlz_binary_image.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {
std::atomic<bool> crashing{false};
std::atomic<int> allocations{0};
void count() {
  if (crashing) ++allocations;
}
}  // namespace

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void* __wrap_malloc(size_t size) {
  count();
  return __real_malloc(size);
}
void* __wrap_calloc(size_t n, size_t size) {
  count();
  return __real_calloc(n, size);
}
void* __wrap_realloc(void* p, size_t size) {
  count();
  return __real_realloc(p, size);
}
void* __real__Znwm(size_t);
void* __wrap__Znwm(size_t size) {
  count();
  return __real__Znwm(size);
}
}

namespace {

TEST(CrashTimeAllocationTest, WriterLogAndLookupAllocateNothing) {
  const auto report = crash_test::scratch("report");
  RLZContextInitStrings strings{report.string(), crash_test::scratch("root").string(), "id"};
  ASSERT_TRUE(RLZContextInitializeWithData(RLZContextBuildInitData(strings, nullptr)));
  platform::testing::runUntilIdle();
  platform::testing::drain(RLZContextBinaryImageQueue());
  ASSERT_TRUE(RLZContextIsInitialized());
  const std::string path = (report / "signal.rlzrecord").string();

  crashing = true;
  RLZFile file;
  ASSERT_TRUE(RLZFileInitWithPath(&file, path.c_str(), false));
  RLZFileWriteSectionStart(&file, "signal");
  RLZFileWriteHashStart(&file);
  RLZFileWriteHashEntryUint64(&file, "number", 11);
  RLZFileWriteHashEntryInt64(&file, "errno", -4);
  RLZFileWriteHashEntryString(&file, "name", "SIGSEGV \"quoted\"");
  RLZFileWriteHashEntryHexEncodedString(&file, "reason", "a user's text that is rather long indeed");
  RLZFileWriteHashEnd(&file);
  RLZFileWriteSectionEnd(&file);
  RLZFileClose(&file);
  RLZBinaryImageRuntimeNode node{};
  const bool found = RLZBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(&count), &node);
  const bool first = RLZContextMarkAndCheckIfCrashed();
  RLZSDKLogWarn("crashing at %p with %d threads\n", reinterpret_cast<void*>(&count), 3);
  RLZCreateCrashedMarkerFile();
  crashing = false;

  EXPECT_TRUE(found);
  EXPECT_FALSE(first);
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_EQ(crash_test::readFile(path).substr(0, 22), "{\"signal\":{\"number\":11");

  // The counter does see the crash reporter's own heap use: a buffered handle's one allocation.
  crashing = true;
  RLZFile buffered;
  ASSERT_TRUE(RLZFileInitWithPath(&buffered, path.c_str(), true));
  crashing = false;
  RLZFileClose(&buffered);
  EXPECT_EQ(allocations.load(), 1);
  RLZContextResetForTesting();
}

}  // namespace
