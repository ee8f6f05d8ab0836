// What the transport needs of the system besides the application: its root directory, the
// hardware model and the keyed-archive reads and writes used for every file it keeps.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/keyed_archive.h"
#include "platform/foundation/value.h"

// "videzu-sdks-events" in the user's Caches directory, created when this process has not made it
// yet (or has noticed its removal).
std::filesystem::path VDTCORStorageRootURL();

// Creates the directory with its parents unless this process made it already, and syncs the parent
// of each, so that files synced into it survive a power cut. A caller that finds it gone calls
// VDTCORForgetCreatedDirectories and asks again.
bool VDTCORCreateDirectoryOnce(const std::filesystem::path& path, platform::Error* error);
void VDTCORForgetCreatedDirectories();
// How many times VDTCORCreateDirectoryOnce went to the file system.
std::uint64_t VDTCORDirectoryCreationsForTesting();

// The kernel's machine name, else the device's model name.
std::string VDTCORHardwareModel();

// Registers the transport's archivable classes with the keyed archiver (once).
void VDTCORRegisterArchivableClasses();

// Archives with secure coding; with a non-empty path also writes the archive there atomically
// (the data is returned even when that write fails, the error says so). None when encoding fails.
std::optional<platform::Data> VDTCORArchiveObject(const std::shared_ptr<const platform::Codable>& object,
                                                  const std::filesystem::path& path, platform::Error* error);

// Reads the file and decodes an object of exactly that class; null with the error otherwise.
std::shared_ptr<platform::Codable> VDTCORUnarchiveObject(std::string_view className, const std::filesystem::path& path,
                                                         platform::Error* error);
template <class T>
std::shared_ptr<T> VDTCORUnarchiveObject(std::string_view className, const std::filesystem::path& path,
                                         platform::Error* error) {
  return std::dynamic_pointer_cast<T>(VDTCORUnarchiveObject(className, path, error));
}
// Decodes from bytes already read.
std::shared_ptr<platform::Codable> VDTCORUnarchiveData(std::string_view className, const platform::Data& data,
                                                       platform::Error* error);

// Creates the parent directory and writes atomically. False for an empty path or any failure.
bool VDTCORWriteFile(const platform::Data& data, const std::filesystem::path& path, platform::Error* error);
// As VDTCORWriteFile, but the new name is durable only once the directory has been synced
// (FileManager::syncDirectory): a writer of many files in a row syncs their directory once.
bool VDTCORWriteFileWithoutDirectorySync(const platform::Data& data, const std::filesystem::path& path,
                                         platform::Error* error);
