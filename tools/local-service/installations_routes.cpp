#include "tools/local-service/installations_routes.h"

#include <nlohmann/json.hpp>

#include <vector>

#include "tools/local-service/local_service.h"
#include "platform/foundation/thread_safety.h"

namespace local_service {

namespace {

// "/v1/projects/<project>/installations/<fid>/<rest>" in parts: project, fid (may be empty), rest.
struct InstallationsPath {
  std::string project;
  std::string fid;
  std::string rest;
};

std::optional<InstallationsPath> parsePath(std::string_view path) {
  if (!path.starts_with(kInstallationsPathPrefix)) return std::nullopt;
  path.remove_prefix(kInstallationsPathPrefix.size());
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    parts.emplace_back(path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (parts.size() < 2 || parts[0].empty() || parts[1] != "installations") return std::nullopt;
  InstallationsPath parsed{parts[0], parts.size() > 2 ? parts[2] : std::string(), {}};
  for (std::size_t i = 3; i < parts.size(); ++i) parsed.rest += (i > 3 ? "/" : "") + parts[i];
  return parsed;
}

Answer json(int status, const nlohmann::json& body) {
  Answer answer = Answer::withStatus(status);
  answer.contentType = "application/json";
  answer.body = body.dump();
  return answer;
}

Answer error(int status, std::string_view message) {
  return json(status, {{"error", {{"code", status}, {"message", std::string(message)}}}});
}

std::string describeJSON(const RecordedRequest& request, std::string& problem) {
  if (request.body.empty()) return {};
  auto parsed = nlohmann::json::parse(request.body, nullptr, false);
  if (parsed.is_discarded()) {
    problem = "body is not JSON";
    return {};
  }
  return parsed.dump();
}

}  // namespace

std::optional<InstallationsBackend::Installation> InstallationsBackend::installation(const std::string& fid) const {
  platform::MutexLock lock(mutex_);
  auto it = installations_.find(fid);
  if (it == installations_.end()) return std::nullopt;
  return it->second;
}

std::size_t InstallationsBackend::count() const {
  platform::MutexLock lock(mutex_);
  return installations_.size();
}

void InstallationsBackend::assignNextFID(std::string fid) {
  platform::MutexLock lock(mutex_);
  nextFID_ = std::move(fid);
}

void InstallationsBackend::setTokenLifetime(std::int64_t seconds) {
  platform::MutexLock lock(mutex_);
  tokenLifetime_ = seconds;
}

void InstallationsBackend::forget(const std::string& fid) {
  platform::MutexLock lock(mutex_);
  installations_.erase(fid);
}

void InstallationsBackend::refuseTokenRequests(int status, int count) {
  platform::MutexLock lock(mutex_);
  tokenRefusalStatus_ = status;
  tokenRefusalsLeft_ = count;
}

void installRoutes(LocalService& service, const std::shared_ptr<InstallationsBackend>& backend) {
  const std::string routePath = std::string(kInstallationsPathPrefix) + "*";

  service.addRoute(
      "POST", routePath,
      [backend](const RecordedRequest& request) -> Answer {
        auto path = parsePath(request.path);
        if (!path) return error(404, "unknown path");
        if (request.header("X-Vdzu-Api-Key").value_or("").empty()) return error(403, "API key missing");
        auto body = nlohmann::json::parse(request.body, nullptr, false);
        if (body.is_discarded() || !body.is_object()) return error(400, "body is not a JSON object");
        platform::MutexLock lock(backend->mutex_);
        if (path->fid.empty() && path->rest.empty()) {
          const auto fid = body.value("fid", std::string());
          if (fid.empty() || body.value("authVersion", std::string()) != "FIS_v2") return error(400, "bad registration");
          InstallationsBackend::Installation installation;
          installation.projectID = path->project;
          installation.appID = body.value("appId", std::string());
          const std::string assigned = backend->nextFID_.value_or(fid);
          backend->nextFID_.reset();
          installation.refreshToken = "refresh-" + assigned + "-" + std::to_string(++backend->serial_);
          installation.authToken = backend->nextTokenLocked(assigned);
          installation.tokensIssued = 1;
          backend->installations_[assigned] = installation;
          return json(201, {{"name", "projects/" + path->project + "/installations/" + assigned},
                            {"fid", assigned},
                            {"refreshToken", installation.refreshToken},
                            {"authToken",
                             {{"token", installation.authToken},
                              {"expiresIn", std::to_string(backend->tokenLifetime_) + "s"}}}});
        }
        if (path->rest != "authTokens:generate") return error(404, "unknown path");
        if (backend->tokenRefusalsLeft_ > 0) {
          --backend->tokenRefusalsLeft_;
          return error(backend->tokenRefusalStatus_, "refused as the test asked");
        }
        auto it = backend->installations_.find(path->fid);
        if (it == backend->installations_.end()) return error(404, "installation not found");
        if (request.header("Authorization") != "FIS_v2 " + it->second.refreshToken) {
          return error(401, "refresh token does not match");
        }
        it->second.authToken = backend->nextTokenLocked(path->fid);
        ++it->second.tokensIssued;
        return json(200, {{"token", it->second.authToken},
                          {"expiresIn", std::to_string(backend->tokenLifetime_) + "s"}});
      },
      describeJSON);

  service.addRoute(
      "DELETE", routePath,
      [backend](const RecordedRequest& request) -> Answer {
        auto path = parsePath(request.path);
        if (!path || path->fid.empty() || !path->rest.empty()) return error(404, "unknown path");
        platform::MutexLock lock(backend->mutex_);
        auto it = backend->installations_.find(path->fid);
        if (it == backend->installations_.end()) return error(404, "installation not found");
        if (request.header("Authorization") != "FIS_v2 " + it->second.refreshToken) {
          return error(401, "refresh token does not match");
        }
        backend->installations_.erase(it);
        return json(200, nlohmann::json::object());
      },
      describeJSON);
}

std::shared_ptr<InstallationsBackend> addInstallationsRoutes(LocalService& service) {
  auto backend = std::make_shared<InstallationsBackend>();
  installRoutes(service, backend);
  return backend;
}

}  // namespace local_service
