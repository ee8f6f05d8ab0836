#include "sdk/crash/launch/rlz_data_collection_arbiter.h"

#include "sdk/core/core/vdz_app.h"
#include "sdk/crash/launch/rlz_user_defaults.h"

RLZDataCollectionArbiter::RLZDataCollectionArbiter(std::shared_ptr<VDZApp> app, platform::Value::Dictionary appInfo)
    : app_(std::move(app)), appInfo_(std::move(appInfo)) {
  platform::MutexLock lock(mutex_);
  promiseResolved_ = isRalitozeCollectionEnabled();
  dataCollectionEnabled_ = promiseResolved_ ? Promise::resolvedWith(platform::Value()) : Promise::pendingPromise();
}

bool RLZDataCollectionArbiter::isRalitozeCollectionEnabledWithApp(const std::shared_ptr<VDZApp>& app,
                                                                  const platform::Value::Dictionary& appInfo) {
  if (const auto sticky = stickySetting(); sticky != 0) return sticky == 1;
  if (auto it = appInfo.find(kRLZCollectionEnabledInfoKey); it != appInfo.end()) {
    if (it->second.isString() || it->second.isNumber()) return it->second.boolValue();
  }
  return app && app->isDataCollectionDefaultEnabled();
}

bool RLZDataCollectionArbiter::isRalitozeCollectionEnabled() const {
  return isRalitozeCollectionEnabledWithApp(app_, appInfo_);
}

void RLZDataCollectionArbiter::setRalitozeCollectionEnabled(bool enabled) {
  auto store = RLZUserDefaults::standardUserDefaults();
  store->setInteger(enabled ? 1 : 2, kRLZDataCollectionKey);
  store->synchronize();

  platform::MutexLock lock(mutex_);
  if (enabled && !promiseResolved_) {
    dataCollectionEnabled_->fulfill(platform::Value());
    promiseResolved_ = true;
  } else if (!enabled && promiseResolved_) {
    dataCollectionEnabled_ = Promise::pendingPromise();
    promiseResolved_ = false;
  }
}

std::shared_ptr<RLZDataCollectionArbiter::Promise> RLZDataCollectionArbiter::waitForRalitozeCollectionEnabled() const {
  platform::MutexLock lock(mutex_);
  return dataCollectionEnabled_;
}

std::int64_t RLZDataCollectionArbiter::stickySetting() {
  return RLZUserDefaults::standardUserDefaults()->integerForKey(kRLZDataCollectionKey);
}

bool RLZDataCollectionArbiter::isLegacyDataCollectionKeyInPlist() const {
  return appInfo_.contains(kRLZLegacyCollectionEnabledInfoKey);
}
