#include <stdlib.h>

#include <string>
#include <system_error>

#include "platform/foundation/console.h"
#include "platform/foundation/home.h"
#include "platform/foundation/user_defaults.h"
#include "platform/testing/testing.h"

namespace platform::testing {

TemporaryHome::TemporaryHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "focus-home-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    Console::log("TemporaryHome: cannot create a temporary directory");
    std::abort();  // every test after this would write into a real home
  }
  path_ = pattern;
  Home::set(path_);
}

TemporaryHome::~TemporaryHome() {
  // Unsaved preferences belong to this home; write them before it goes, not into a later one.
  UserDefaults::flushAll();
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace platform::testing
