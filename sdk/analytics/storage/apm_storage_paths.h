// Where the analytics engine keeps its files and how a suite's stored values move between the
// preferences plist and a plist in the measurement directory. An empty path means "no file":
// every consumer treats it so.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/error.h"

inline constexpr std::string_view kAPMMeasurementDirectory = "Videzu/Measurement";

bool APMExcludePathFromBackup(const std::string& path, platform::Error* error);
std::string APMPreferencesPlistPath(std::string_view suite);
std::string APMMeasurementFilePath(std::string_view name);
std::string APMMeasurementPlistPath(std::string_view name);
bool APMDeleteFileAtPath(const std::string& path, platform::Error* error);
// A database file with its rollback journal; the result is the file's removal.
bool APMDeleteDatabaseFileAtPath(const std::string& path, platform::Error* error);
bool APMMoveFile(const std::string& source, const std::string& destination, bool replaceExisting);
bool APMMigratePreferencesToApplicationSupport(std::string_view suite);
bool APMMigrateApplicationSupportToPreferences(std::string_view suite);
