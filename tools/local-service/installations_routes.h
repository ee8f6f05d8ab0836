// The installations service: registers installations, generates auth tokens for them and deletes
// them, keeping each installation's refresh token. Answers follow the service's rules: an unknown
// installation is 404, a wrong refresh token 401, a request without an API key 403.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/thread_safety.h"

namespace local_service {

class LocalService;

// Every installations path lies below it.
inline constexpr std::string_view kInstallationsPathPrefix = "/v1/projects/";

class InstallationsBackend {
 public:
  struct Installation {
    std::string projectID;
    std::string appID;
    std::string refreshToken;
    std::string authToken;
    std::int64_t tokensIssued = 0;
  };

  std::optional<Installation> installation(const std::string& fid) const;
  std::size_t count() const;
  // The next registration answers with this FID instead of the one sent.
  void assignNextFID(std::string fid);
  // Seconds of the tokens issued from now on (default a week).
  void setTokenLifetime(std::int64_t seconds);
  // The service forgets the installation, as if it were removed on the server side.
  void forget(const std::string& fid);
  // The next `count` token requests, whatever installation they name, are answered with `status`.
  void refuseTokenRequests(int status, int count);

 private:
  friend void installRoutes(LocalService&, const std::shared_ptr<InstallationsBackend>&);
  // A fresh auth token for the installation.
  std::string nextTokenLocked(const std::string& fid) REQUIRES(mutex_) {
    return "token-" + fid + "-" + std::to_string(++serial_);
  }
  mutable platform::Mutex mutex_;
  std::map<std::string, Installation> installations_ GUARDED_BY(mutex_);
  std::optional<std::string> nextFID_ GUARDED_BY(mutex_);
  std::int64_t tokenLifetime_ GUARDED_BY(mutex_) = 7 * 24 * 60 * 60;
  std::uint64_t serial_ GUARDED_BY(mutex_) = 0;
  int tokenRefusalStatus_ GUARDED_BY(mutex_) = 0;
  int tokenRefusalsLeft_ GUARDED_BY(mutex_) = 0;
};

std::shared_ptr<InstallationsBackend> addInstallationsRoutes(LocalService& service);

}  // namespace local_service
