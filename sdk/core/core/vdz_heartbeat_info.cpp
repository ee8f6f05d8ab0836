#include "sdk/core/core/vdz_heartbeat_info.h"

#include <string>

#include "platform/foundation/date.h"
#include "sdk/utilities/utilities/vul_heartbeat_date_storage.h"
#include "platform/foundation/thread_safety.h"

namespace {

constexpr double kSecondsInDay = 86400;

platform::Mutex& classLock() {
  static auto* m = new platform::Mutex;
  return *m;
}

}  // namespace

bool VDZHeartbeatInfo::updateIfNeededHeartbeatDateForTag(std::string_view heartbeatTag) {
  platform::MutexLock lock(classLock());
  const auto storage = VULHeartbeatDateStorage::initWithFileName(kVDZHeartbeatInfoStorageFileName);
  const auto lastDate = storage->heartbeatDateForTag(heartbeatTag);
  const platform::Date now = platform::Date::now();
  // A date in the future (the clock was moved back) counts as recent.
  if (lastDate && now.timeIntervalSince(*lastDate) < kSecondsInDay) return false;
  return storage->setHearbeatDate(now, heartbeatTag);
}

VDZHeartbeatInfoCode VDZHeartbeatInfo::heartbeatCodeForTag(std::string_view heartbeatTag) {
  const bool sdkDue = updateIfNeededHeartbeatDateForTag(heartbeatTag);
  const bool globalDue = updateIfNeededHeartbeatDateForTag(kVDZHeartbeatInfoGlobalTag);
  if (sdkDue && globalDue) return VDZHeartbeatInfoCodeCombined;
  if (sdkDue) return VDZHeartbeatInfoCodeSDK;
  if (globalDue) return VDZHeartbeatInfoCodeGlobal;
  return VDZHeartbeatInfoCodeNone;
}
