// Helpers of the crash reporter's tests: a scratch directory in the test's home and file reads.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdint>
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

// A log record line as the crash-time writer makes it: message "line INDEX " padded with 'x' to
// `width` characters, hex-encoded.
inline std::string logRecordLine(std::size_t index, std::size_t width = 200) {
  std::string message = "line " + std::to_string(index) + " ";
  message.resize(width, 'x');
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : message) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return "{\"log\":{\"msg\":\"" + hex + "\",\"time\":" + std::to_string(1700000000000 + index) + "}}\n";
}

// Appends log lines, numbered on from `first`, until the file holds at least `bytes`; the number
// of the last line.
inline std::size_t padLog(const std::filesystem::path& path, std::uint64_t bytes, std::size_t first = 0) {
  std::string text = readFile(path);
  std::size_t index = first;
  while (text.size() < bytes) text += logRecordLine(index++);
  writeFile(path, text);
  return index - 1;
}

// Whether the shared logger has written a line holding `fragment` (its lines are written on a
// queue of its own).
inline bool logged(const platform::testing::LogCapture& capture, std::string_view fragment) {
  platform::testing::drain(VULLoggerQueue());
  return capture.contains(fragment);
}

}  // namespace crash_test
