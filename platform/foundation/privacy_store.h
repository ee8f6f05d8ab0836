// The system's record of the user's answers to permission prompts, kept across launches of the
// app: one property list, <home>/System/Privacy.plist, a dictionary of service name to status
// number. Each service caches its own status; this only reads and writes the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/foundation/error.h"

namespace platform::PrivacyStore {

inline constexpr std::string_view kNotificationsService = "notifications";
inline constexpr std::string_view kPhotosService = "photos";

std::filesystem::path path();

// The stored status of a service; none when the file is missing, unreadable or corrupt, or holds
// no integer for it. Callers check the number against their own range.
std::optional<std::int64_t> status(std::string_view service);
// Writes the status of one service, keeping the others; a corrupt file is replaced. The file is
// written atomically with mode 0600.
bool setStatus(std::string_view service, std::int64_t status, Error* error = nullptr);

}  // namespace platform::PrivacyStore
