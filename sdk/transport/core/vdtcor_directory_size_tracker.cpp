#include "sdk/transport/core/vdtcor_directory_size_tracker.h"

#include <algorithm>
#include <system_error>

namespace fs = std::filesystem;

VDTCORDirectorySizeTracker::VDTCORDirectorySizeTracker(fs::path directoryPath)
    : directoryPath_(std::move(directoryPath)) {}

std::uint64_t VDTCORDirectorySizeTracker::directoryContentSize() {
  if (!cachedSizeBytes_) cachedSizeBytes_ = calculateDirectoryContentSize();
  return *cachedSizeBytes_;
}

bool VDTCORDirectorySizeTracker::isInside(const fs::path& path) const {
  // Compared component by component: "/a/bc" is not inside "/a/b".
  auto mismatch = std::mismatch(directoryPath_.begin(), directoryPath_.end(), path.begin(), path.end());
  return mismatch.first == directoryPath_.end() ||
         (std::next(mismatch.first) == directoryPath_.end() && mismatch.first->empty());
}

// With nothing cached there is nothing to correct: computing the size now would already see the
// change and count it twice.
void VDTCORDirectorySizeTracker::fileWasAddedAtPath(const fs::path& path, std::uint64_t size) {
  if (!cachedSizeBytes_ || !isInside(path)) return;
  *cachedSizeBytes_ += size;
}

void VDTCORDirectorySizeTracker::fileWasRemovedAtPath(const fs::path& path, std::uint64_t size) {
  if (!cachedSizeBytes_ || !isInside(path)) return;
  *cachedSizeBytes_ = *cachedSizeBytes_ > size ? *cachedSizeBytes_ - size : 0;
}

std::uint64_t VDTCORDirectorySizeTracker::calculateDirectoryContentSize() const {
  std::uint64_t total = 0;
  std::error_code ec;
  fs::recursive_directory_iterator it(directoryPath_, fs::directory_options::skip_permission_denied, ec);
  const fs::recursive_directory_iterator end;
  while (!ec && it != end) {
    const fs::directory_entry& entry = *it;
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".")) {
      if (entry.is_directory(ec)) it.disable_recursion_pending();
    } else if (entry.is_regular_file(ec)) {
      total += fileSizeAtURL(entry.path());
    }
    ec.clear();
    it.increment(ec);
    if (ec) {
      // Skip what cannot be read and go on with the rest.
      ec.clear();
      if (it == end) break;
    }
  }
  return total;
}

std::uint64_t VDTCORDirectorySizeTracker::fileSizeAtURL(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}
