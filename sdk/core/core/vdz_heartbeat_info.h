// Whether a daily "heartbeat" is due for an SDK and for the process as a whole, as the small code
// the installation client sends.
#pragma once

#include <string_view>

enum VDZHeartbeatInfoCode : int {
  VDZHeartbeatInfoCodeNone = 0,
  VDZHeartbeatInfoCodeSDK = 1,
  VDZHeartbeatInfoCodeGlobal = 2,
  VDZHeartbeatInfoCodeCombined = 3,
};

inline constexpr std::string_view kVDZHeartbeatInfoStorageFileName = "HEARTBEAT_INFO_STORAGE";
inline constexpr std::string_view kVDZHeartbeatInfoGlobalTag = "GLOBAL";

class VDZHeartbeatInfo {
 public:
  // Updates the tag, then "GLOBAL"; each counts when it was due and its new date was stored.
  static VDZHeartbeatInfoCode heartbeatCodeForTag(std::string_view heartbeatTag);
  // Stores now for the tag unless it was stored less than a day ago (or in the future); true when
  // a new date was stored.
  static bool updateIfNeededHeartbeatDateForTag(std::string_view heartbeatTag);
};
