// The launch side's view of one report directory: its identifier (the launch that wrote it), the
// record files it holds and a few values of its metadata. The launch marker tells the next launch
// that this one died before its first run-loop turn.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/value.h"

class RLZFileManager;

class RLZInternalReport {
 public:
  // None when the metadata gives no identifier.
  static std::shared_ptr<RLZInternalReport> reportWithPath(const std::string& path);
  static std::shared_ptr<RLZInternalReport> initWithPath(const std::string& path,
                                                         const std::optional<std::string>& executionIdentifier);

  const std::string& identifier() const { return identifier_; }
  const std::string& path() const { return path_; }
  void setPath(std::string path) { path_ = std::move(path); }
  std::string directoryName() const;
  std::string pathForContentFile(const std::string& name) const;
  std::string metadataPath() const { return pathForContentFile("metadata.rlzrecord"); }
  std::string binaryImagePath() const { return pathForContentFile("binary_images.rlzrecord"); }

  bool hasAnyEvents() const;
  bool isCrash() const;
  bool checkExistenceOfAtLeastOneFileInArray(const std::vector<std::string>& names) const;
  static const std::vector<std::string>& crashFileNames();
  // The records that count as events (hasAnyEvents).
  static const std::vector<std::string>& eventFileNames();
  void enumerateSymbolicatableFilesInContent(const std::function<void(const std::string& path)>& block) const;
  static std::optional<platform::Value::Array> readRLZFileAtPath(const std::string& path);

  const platform::Value::Array& metadataSections();
  std::optional<std::string> orgID();
  std::optional<platform::Date> dateCreated();
  std::optional<std::string> bundleVersion();
  std::optional<std::string> bundleShortVersionString();
  std::optional<std::string> OSVersion();
  std::optional<std::string> OSBuildVersion();
  std::optional<platform::Date> crashedOnDate() const;
  std::optional<platform::Date> timeFromCrashContentFile(const std::string& fileName,
                                                         const std::string& sectionName) const;

 private:
  std::optional<platform::Value> metadataValue(std::size_t position, const char* section, const char* key);

  std::string identifier_;
  std::string path_;
  std::optional<platform::Value::Array> metadataSections_;
};

class RLZLaunchMarkerModel {
 public:
  explicit RLZLaunchMarkerModel(std::shared_ptr<RLZFileManager> fileManager) : fileManager_(std::move(fileManager)) {}

  std::string launchFailureMarkerPath() const;
  bool createLaunchFailureMarker();
  bool launchFailureMarkerPresent() const;
  bool removeLaunchFailureMarker();
  // True (and the marker left alone) when the last launch died early; else creates it.
  bool checkForAndCreateLaunchMarker();

 private:
  std::shared_ptr<RLZFileManager> fileManager_;
};
