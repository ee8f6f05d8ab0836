#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/testing/testing.h"

namespace platform::testing {

namespace {

bool capabilities(__user_cap_data_struct (&data)[2], bool set) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};  // 0: the calling thread
  return ::syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}

}  // namespace

// Permissions alone do not stop root: this thread also gives up, while the object lives, the
// capabilities that override them (they stay permitted, so they can be taken back).
RestrictedPermissions::RestrictedPermissions(std::filesystem::path path, std::uint32_t mode) : path_(std::move(path)) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) savedMode_ = st.st_mode & 07777;
  ::chmod(path_.c_str(), mode);
  __user_cap_data_struct data[2]{};
  if (capabilities(data, false)) {
    savedEffective_ = data[0].effective;
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    capabilities(data, true);
  }
}

RestrictedPermissions::~RestrictedPermissions() {
  __user_cap_data_struct data[2]{};
  if (capabilities(data, false)) {
    data[0].effective = savedEffective_;
    capabilities(data, true);
  }
  ::chmod(path_.c_str(), savedMode_);
}

}  // namespace platform::testing
