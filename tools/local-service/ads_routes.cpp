#include "tools/local-service/ads_routes.h"

#include <nlohmann/json.hpp>

#include <cctype>

#include "tools/local-service/local_service.h"

namespace local_service {

namespace {

// The query's value of `key`, percent-decoded.
std::string queryValue(std::string_view query, std::string_view key) {
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view part = query.substr(0, amp);
    const auto eq = part.find('=');
    if (part.substr(0, eq) == key && eq != std::string_view::npos) {
      std::string out;
      const std::string_view raw = part.substr(eq + 1);
      for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 2 < raw.size() && std::isxdigit(static_cast<unsigned char>(raw[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
          out += static_cast<char>(std::stoi(std::string(raw.substr(i + 1, 2)), nullptr, 16));
          i += 2;
        } else {
          out += raw[i] == '+' ? ' ' : raw[i];
        }
      }
      return out;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

}  // namespace

void DeferredDeepLinks::set(const std::string& bundleID, DeferredDeepLink link) {
  std::lock_guard lock(mutex_);
  byBundleID_.insert_or_assign(bundleID, std::move(link));
}

void DeferredDeepLinks::remove(const std::string& bundleID) {
  std::lock_guard lock(mutex_);
  byBundleID_.erase(bundleID);
}

std::optional<DeferredDeepLink> DeferredDeepLinks::find(const std::string& bundleID) const {
  std::lock_guard lock(mutex_);
  if (auto it = byBundleID_.find(bundleID); it != byBundleID_.end()) return it->second;
  if (auto it = byBundleID_.find("*"); it != byBundleID_.end()) return it->second;
  return std::nullopt;
}

std::string deferredDeepLinkJSON(const DeferredDeepLink& link) {
  nlohmann::json body = {{"deeplink", link.deeplink}};
  if (link.gclid) body["gclid"] = *link.gclid;
  if (link.gbraid) body["gbraid"] = *link.gbraid;
  if (link.timestamp) body["timestamp"] = *link.timestamp;
  return body.dump();
}

std::shared_ptr<DeferredDeepLinks> addAdsRoutes(LocalService& service) {
  auto links = std::make_shared<DeferredDeepLinks>();
  service.addRoute(
      "GET", std::string(kDeferredDeepLinkPath),
      [links](const RecordedRequest& request) {
        const auto link = links->find(queryValue(request.query, "bundleid"));
        if (!link) return Answer::withStatus(204);
        Answer answer;
        answer.body = deferredDeepLinkJSON(*link);
        answer.contentType = "application/json";
        return answer;
      },
      [](const RecordedRequest& request, std::string&) {
        return "  bundleid=" + queryValue(request.query, "bundleid") + " retry=" + queryValue(request.query, "retry") +
               " sdk_version=" + queryValue(request.query, "sdk_version") + "\n";
      });
  return links;
}

}  // namespace local_service
