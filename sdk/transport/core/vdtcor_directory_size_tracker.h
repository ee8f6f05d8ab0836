// A cache of the total size of the regular files below a directory, kept up to date by the
// storage's own writes and deletions and recomputed after bulk changes. Used on one queue only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

class VDTCORDirectorySizeTracker {
 public:
  explicit VDTCORDirectorySizeTracker(std::filesystem::path directoryPath);
  static std::shared_ptr<VDTCORDirectorySizeTracker> initWithDirectoryPath(std::filesystem::path directoryPath) {
    return std::make_shared<VDTCORDirectorySizeTracker>(std::move(directoryPath));
  }

  const std::filesystem::path& directoryPath() const { return directoryPath_; }
  const std::optional<std::uint64_t>& cachedSizeBytes() const { return cachedSizeBytes_; }

  // The cached size, computed first when there is none.
  std::uint64_t directoryContentSize();
  // Corrections of the cached size after a write or deletion; paths outside the directory are
  // ignored, and a removal never takes the size below 0.
  void fileWasAddedAtPath(const std::filesystem::path& path, std::uint64_t size);
  void fileWasRemovedAtPath(const std::filesystem::path& path, std::uint64_t size);
  void resetCachedSize() { cachedSizeBytes_.reset(); }

  // Regular files below the directory, hidden ones (and those in hidden directories) left out;
  // entries that cannot be read are skipped.
  std::uint64_t calculateDirectoryContentSize() const;
  static std::uint64_t fileSizeAtURL(const std::filesystem::path& path);

 private:
  bool isInside(const std::filesystem::path& path) const;

  std::filesystem::path directoryPath_;
  std::optional<std::uint64_t> cachedSizeBytes_;
};
