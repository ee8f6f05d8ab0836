// The crash reporter's on-disk layout under Caches and its logged file operations. Every other
// component asks this object for paths instead of building them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {
class Error;
}

inline constexpr std::string_view kRLZPreviouslyCrashedFileName = "previously-crashed";
// Settings documents are a few kilobytes; a file far beyond that is not one.
inline constexpr std::uint64_t kRLZMaxSettingsFileBytes = std::uint64_t{1} << 20;

class RLZFileManager {
 public:
  RLZFileManager();

  const std::string& rootPath() const { return rootPath_; }
  const std::string& cachesPath() const { return cachesPath_; }
  std::string versionedPath() const;
  std::string structurePath() const;
  std::string activePath() const;
  std::string pendingPath() const;
  std::string processingPath() const;
  std::string preparedPath() const;
  std::string settingsDirectoryPath() const;
  std::string settingsFilePath() const;
  std::string settingsCacheKeyPath() const;
  static std::string pathNamespace();

  // Full paths of a directory's entries, hidden ones ("." first) left out; empty when unreadable.
  std::vector<std::string> contentsOfDirectory(const std::string& path) const;
  // The report directories of a stage: real directories only; a link or a file found there is
  // skipped with a log line, never followed.
  std::vector<std::string> reportDirectoriesIn(const std::string& stagePath) const;
  std::vector<std::string> activePathContents() const { return reportDirectoriesIn(activePath()); }
  std::vector<std::string> processingPathContents() const { return reportDirectoriesIn(processingPath()); }
  std::vector<std::string> preparedPathContents() const { return reportDirectoriesIn(preparedPath()); }
  void enumerateFilesInDirectory(const std::string& path,
                                 const std::function<void(const std::string& path, const std::string& extension)>& block);

  bool fileExistsAtPath(const std::string& path) const;
  bool createFileAtPath(const std::string& path, const std::optional<platform::Data>& contents);
  bool createDirectoryAtPath(const std::string& path);
  bool removeItemAtPath(const std::optional<std::string>& path);
  bool removeContentsOfDirectoryAtPath(const std::string& path);
  bool moveItemAtPath(const std::optional<std::string>& path, const std::optional<std::string>& directory);
  bool moveItemAtPath(const std::string& source, const std::string& destination, platform::Error* error);
  std::optional<std::uint64_t> fileSizeAtPath(const std::string& path);
  // A regular file's bytes, read without following a link or waiting on a FIFO; none for a file
  // longer than `limit`, which is refused whole.
  std::optional<platform::Data> dataWithContentsOfFile(const std::string& path,
                                                       std::uint64_t limit = kRLZMaxSettingsFileBytes) const;

  bool createReportDirectories();
  std::optional<std::string> setupNewPathForExecutionIdentifier(const std::string& executionIdentifier);

  // Asked once per process; later calls on this object repeat its answer.
  bool didCrashOnPreviousExecution();
  bool metricKitDiagnosticFileExists() const;
  bool createEmptyMetricKitFile(const std::string& reportPath);

  // Tests: the next didCrashOnPreviousExecution of any object looks at the disk again.
  static void resetCrashMarkerCheckForTesting();

 private:
  std::string cachesPath_;
  std::string rootPath_;
  bool crashFileMarkerExists_ = false;
};
