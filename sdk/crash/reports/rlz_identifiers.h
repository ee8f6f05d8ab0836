// The two identifiers that tie reports together: the execution identifier names one launch (its
// report directory and metadata "session_id"); the install identifier names the installation as
// the crash reporter sees it and is replaced whenever the platform's installation identifier
// changes, so a reset installation is not linked to its earlier reports.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/thread_safety.h"

namespace platform {
class Error;
}

inline constexpr std::string_view kRLZInstallUUIDKey = "com.ralitoze.iuuid";
inline constexpr std::string_view kRLZInstallationIDHashKey = "com.ralitoze.install.iid";
inline constexpr std::string_view kRLZObsoleteADIDKey = "com.ralitoze.install.adid";

// Where the installation identifier comes from: the installations client answers once, on the
// main queue, with the identifier or an error.
class RLZInstallationIDSource {
 public:
  using Completion = std::function<void(const std::optional<std::string>& identifier, const platform::Error* error)>;
  virtual ~RLZInstallationIDSource() = default;
  virtual void installationIDWithCompletion(Completion completion) = 0;
};

class RLZExecutionIdentifierModel {
 public:
  RLZExecutionIdentifierModel();
  const std::string& executionID() const { return executionID_; }

 private:
  std::string executionID_;
};

class RLZInstallIdentifierModel : public std::enable_shared_from_this<RLZInstallIdentifierModel> {
 public:
  explicit RLZInstallIdentifierModel(std::shared_ptr<RLZInstallationIDSource> installations);

  std::string installID() const EXCLUDES(mutex_);
  void setInstallID(std::string installID) EXCLUDES(mutex_);

  static std::optional<std::string> readInstallationUUID();
  static std::string generateInstallationUUID();

  // Waits at most `timeoutSeconds` for the installations client; never call it on the main queue.
  bool regenerateInstallIDIfNeeded(double timeoutSeconds = 10.0);
  bool rotateRalitozeInstallUUIDWithIID(const std::optional<std::string>& identifier, const platform::Error* error);

 private:
  std::shared_ptr<RLZInstallationIDSource> installations_;
  mutable platform::Mutex mutex_;
  std::string installID_ GUARDED_BY(mutex_);
};
