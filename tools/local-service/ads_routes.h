// The ad-services endpoint's deferred deep link.
//
// GET "/pagead/conversion/app/deeplink?sdk_version=..&rdid=..&id_type=idfa&bundleid=..&retry=..":
// 200 with the JSON object {"deeplink": ..., and "gclid", "gbraid", "timestamp" when set} stored
// for the "bundleid" the query names (the app ID the engine sends); 204 when none is stored, as
// the service answers an install that no ad brought. Other statuses are scripted with the
// service's answers.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace local_service {

class LocalService;

inline constexpr std::string_view kDeferredDeepLinkPath = "/pagead/conversion/app/deeplink";

struct DeferredDeepLink {
  std::string deeplink;
  std::optional<std::string> gclid;
  std::optional<std::string> gbraid;
  std::optional<std::string> timestamp;
};

// Deferred deep links by the "bundleid" the request names; "*" answers any.
class DeferredDeepLinks {
 public:
  void set(const std::string& bundleID, DeferredDeepLink link);
  void remove(const std::string& bundleID);
  std::optional<DeferredDeepLink> find(const std::string& bundleID) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, DeferredDeepLink> byBundleID_;
};

std::string deferredDeepLinkJSON(const DeferredDeepLink& link);
std::shared_ptr<DeferredDeepLinks> addAdsRoutes(LocalService& service);

}  // namespace local_service
