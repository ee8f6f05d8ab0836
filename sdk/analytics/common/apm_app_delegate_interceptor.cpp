#include "sdk/analytics/common/apm_app_delegate_interceptor.h"


#include "sdk/utilities/utilities/vul_network.h"
#include "platform/foundation/thread_safety.h"

namespace {
struct HookTable {
  platform::Mutex mutex;
  APMAppDelegateInterceptor::Hooks hooks GUARDED_BY(mutex);
};
HookTable& hookTable() {
  static HookTable* table = new HookTable;
  return *table;
}
APMAppDelegateInterceptor::Hooks hooks() {
  auto& table = hookTable();
  platform::MutexLock lock(table.mutex);
  return table.hooks;
}
}  // namespace

std::shared_ptr<APMAppDelegateInterceptor> APMAppDelegateInterceptor::sharedInstance() {
  static const auto instance = std::make_shared<APMAppDelegateInterceptor>();
  return instance;
}

void APMAppDelegateInterceptor::setHooks(Hooks newHooks) {
  auto& table = hookTable();
  platform::MutexLock lock(table.mutex);
  table.hooks = std::move(newHooks);
}

bool APMAppDelegateInterceptor::applicationOpenURLOptions(platform::Application&, const std::string& url,
                                                          const platform::Value::Dictionary&) {
  if (const auto h = hooks(); h.handleOpenURL) h.handleOpenURL(url);
  return false;
}

bool APMAppDelegateInterceptor::applicationOpenURLSourceApplicationAnnotation(platform::Application&,
                                                                              const std::string& url,
                                                                              const std::string&,
                                                                              const platform::Value&) {
  if (const auto h = hooks(); h.handleOpenURL) h.handleOpenURL(url);
  return false;
}

bool APMAppDelegateInterceptor::applicationContinueUserActivityRestorationHandler(
    platform::Application&, const platform::Value::Dictionary& userActivity, std::function<void(const platform::Value&)>) {
  const auto h = hooks();
  if (!h.deepLinkFromUserActivity) return false;
  const auto url = h.deepLinkFromUserActivity(userActivity);
  if (url && !url->empty() && h.handleOpenURL) h.handleOpenURL(*url);
  return false;
}

void APMAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSessionCompletionHandler(
    platform::Application&, const std::string& identifier, std::function<void()> completion) {
  VULNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completion));
}
