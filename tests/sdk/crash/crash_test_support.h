// Helpers of the crash reporter's tests: a scratch directory in the test's home and file reads.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/foundation/home.h"
#include "platform/testing/testing.h"
#include "sdk/utilities/utilities/vul_logger.h"

namespace crash_test {

inline std::filesystem::path scratch(const std::string& name) {
  auto path = platform::Home::temporary() / name;
  std::filesystem::create_directories(path);
  return path;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Whether the shared logger has written a line holding `fragment` (its lines are written on a
// queue of its own).
inline bool logged(const platform::testing::LogCapture& capture, std::string_view fragment) {
  platform::testing::drain(VULLoggerQueue());
  return capture.contains(fragment);
}

}  // namespace crash_test
