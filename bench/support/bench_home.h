// A fresh temporary home for benchmarks that write files; it is removed when the program exits.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/foundation/home.h"

inline const std::filesystem::path& benchHome() {
  static const std::filesystem::path home = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "focus-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    std::filesystem::path path = pattern;
    platform::Home::set(path);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(benchHome(), ec);
    });
    return path;
  }();
  return home;
}
