#include "sdk/transport/cct/vdtcor_endpoints.h"

#include <memory>

#include "platform/foundation/thread_safety.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"

namespace {

platform::Mutex& tableMutex() {
  static platform::Mutex mutex;
  return mutex;
}

std::shared_ptr<const std::map<VDTCORTarget, std::string>>& table() REQUIRES(tableMutex()) {
  static std::shared_ptr<const std::map<VDTCORTarget, std::string>> urls;
  return urls;
}

}  // namespace

const std::map<VDTCORTarget, std::string>& VDTCOREndpoints::uploadURLs() {
  platform::MutexLock lock(tableMutex());
  auto& urls = table();
  if (!urls) {
    const std::string base = VULServiceBaseURL(kVDTCORTransportDefaultBaseURL);
    urls = std::make_shared<const std::map<VDTCORTarget, std::string>>(std::map<VDTCORTarget, std::string>{
        {kVDTCORTargetCCT, base + "/transport/cct"},
        {kVDTCORTargetFLL, base + "/transport/fll"},
        {kVDTCORTargetCSH, base + "/transport/csh"},
        {kVDTCORTargetINT, std::string(kVDTCORPlaceholderUploadURL)},
    });
  }
  // Tables given up by a reset stay alive: a caller may still hold a reference into one.
  static std::vector<std::shared_ptr<const std::map<VDTCORTarget, std::string>>> kept;
  if (kept.empty() || kept.back() != urls) kept.push_back(urls);
  return *urls;
}

std::optional<std::string> VDTCOREndpoints::uploadURLForTarget(VDTCORTarget target) {
  const auto& urls = uploadURLs();
  auto it = urls.find(target);
  if (it == urls.end()) return std::nullopt;
  return it->second;
}

void VDTCOREndpoints::resetForTesting() {
  platform::MutexLock lock(tableMutex());
  table().reset();
}
