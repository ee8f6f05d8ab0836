// Heartbeat dates kept in a file of their own under Application Support, "Videzu/VDZApp/<name>":
// a secure keyed archive of one dictionary from tag to date. A missing or damaged file reads as
// empty, so the next write replaces it.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "sdk/utilities/utilities/vul_heartbeat_date_storable.h"

inline constexpr std::string_view kVULHeartbeatStorageDirectory = "Videzu/VDZApp";

class VULHeartbeatDateStorage : public VULHeartbeatDateStorable {
  struct Private {};

 public:
  // Null for an empty name.
  static std::shared_ptr<VULHeartbeatDateStorage> initWithFileName(std::string_view fileName);
  VULHeartbeatDateStorage(Private, std::string fileName);

  const std::string& fileName() const { return fileName_; }

  // None unless the stored value is a date.
  std::optional<platform::Date> heartbeatDateForTag(std::string_view tag) override;
  bool setHearbeatDate(platform::Date date, std::string_view tag) override;

  // Worked out on first use, creating the directory when it cannot be reached.
  const std::filesystem::path& fileURL();
  static std::filesystem::path directoryPathURL();
  static void checkAndCreateDirectory(const std::filesystem::path& directory);
  static platform::Value::Dictionary heartbeatDictionaryWithFileURL(const std::filesystem::path& file);
  static bool writeDictionary(const platform::Value::Dictionary& dictionary, const std::filesystem::path& file,
                              platform::Error* error);

 private:
  const std::string fileName_;
  std::optional<std::filesystem::path> fileURL_;
};
