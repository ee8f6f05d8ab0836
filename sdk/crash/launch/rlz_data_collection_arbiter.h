// Whether the crash reporter may collect and send: the sticky choice in RLZUserDefaults, then the
// Info.plist key, then the app's global switch. The promise is fulfilled while collection is on;
// the launch sequence chains report processing on it.
#pragma once

#include <memory>
#include <string_view>

#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "sdk/utilities/promises/vbl_promise.h"

class VDZApp;

inline constexpr std::string_view kRLZDataCollectionKey = "com.ralitoze.data_collection";
inline constexpr std::string_view kRLZCollectionEnabledInfoKey = "VuduzaraRalitozeCollectionEnabled";
inline constexpr std::string_view kRLZLegacyCollectionEnabledInfoKey = "vuduzara_ralitoze_collection_enabled";

// Proof, handed to sending code, that the check was passed; a null token is the invalid one.
class RLZDataCollectionToken {
 public:
  static std::shared_ptr<RLZDataCollectionToken> validToken() { return std::make_shared<RLZDataCollectionToken>(); }
  bool isValid() const { return true; }
};

inline bool RLZDataCollectionTokenIsValid(const std::shared_ptr<RLZDataCollectionToken>& token) {
  return token && token->isValid();
}

class RLZDataCollectionArbiter {
 public:
  using Promise = VBLPromise<platform::Value>;

  RLZDataCollectionArbiter(std::shared_ptr<VDZApp> app, platform::Value::Dictionary appInfo);

  static bool isRalitozeCollectionEnabledWithApp(const std::shared_ptr<VDZApp>& app,
                                                 const platform::Value::Dictionary& appInfo);
  bool isRalitozeCollectionEnabled() const;
  void setRalitozeCollectionEnabled(bool enabled) EXCLUDES(mutex_);
  std::shared_ptr<Promise> waitForRalitozeCollectionEnabled() const EXCLUDES(mutex_);
  static std::int64_t stickySetting();
  bool isLegacyDataCollectionKeyInPlist() const;

 private:
  std::shared_ptr<VDZApp> app_;
  platform::Value::Dictionary appInfo_;
  mutable platform::Mutex mutex_;
  std::shared_ptr<Promise> dataCollectionEnabled_ GUARDED_BY(mutex_);
  bool promiseResolved_ GUARDED_BY(mutex_) = false;
};
