#include "sdk/transport/cct/vdtcor_endpoints.h"

#include <memory>
#include <vector>

#include "platform/foundation/thread_safety.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"

namespace {

using URLTable = std::map<VDTCORTarget, std::string>;

struct Tables {
  platform::Mutex mutex;
  std::shared_ptr<const URLTable> current GUARDED_BY(mutex);
  // Tables given up by a reset stay alive: a caller may still hold a reference into one.
  std::vector<std::shared_ptr<const URLTable>> kept GUARDED_BY(mutex);
};

Tables& tables() {
  // Never destroyed: an upload on a worker may still look its endpoint up while the process exits.
  static Tables* const tables = new Tables;
  return *tables;
}

}  // namespace

const std::map<VDTCORTarget, std::string>& VDTCOREndpoints::uploadURLs() {
  Tables& t = tables();
  platform::MutexLock lock(t.mutex);
  if (!t.current) {
    const std::string base = VULServiceBaseURL(kVDTCORTransportDefaultBaseURL);
    t.current = std::make_shared<const URLTable>(URLTable{
        {kVDTCORTargetCCT, base + "/transport/cct"},
        {kVDTCORTargetFLL, base + "/transport/fll"},
        {kVDTCORTargetCSH, base + "/transport/csh"},
        {kVDTCORTargetINT, std::string(kVDTCORPlaceholderUploadURL)},
    });
  }
  if (t.kept.empty() || t.kept.back() != t.current) t.kept.push_back(t.current);
  return *t.current;
}

std::optional<std::string> VDTCOREndpoints::uploadURLForTarget(VDTCORTarget target) {
  const auto& urls = uploadURLs();
  auto it = urls.find(target);
  if (it == urls.end()) return std::nullopt;
  return it->second;
}

void VDTCOREndpoints::resetForTesting() {
  Tables& t = tables();
  platform::MutexLock lock(t.mutex);
  t.current.reset();
}
