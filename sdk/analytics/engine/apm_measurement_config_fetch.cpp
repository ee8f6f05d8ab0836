// The conditional fetch of the measurement configuration. Its failures count as failed uploads,
// so the upload schedule backs off from an overloaded service for both.
#include <cmath>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/net/url_session.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/events/apm_audience.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/script/apmp_runtime.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/utilities/utilities/vul_network.h"

namespace {

// The configuration is looked at again on activation once it is a week old.
constexpr double kActivationRefetchInterval = 604800;

int configIndex(std::uint32_t tag) { return kNANOMeasurementConfigSchema.indexOfTag(tag); }

std::optional<std::string> nonEmpty(std::optional<std::string> value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

}  // namespace

void APMMeasurement::handleAppDidBecomeActiveEvent() {
  if (!remoteConfig()->blocklistInternal()) return;
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:3671", [weak] {
    auto self = weak.lock();
    if (!self || !self->remoteConfig_ || !self->database_) return;
    const double now = platform::Clock::current().now().timeIntervalSince1970();
    if (std::fabs(now - self->remoteConfig_->lastRemoteConfigUpdateTimestamp()) < kActivationRefetchInterval) return;
    if (!self->isNetworkReadyForRequest()) {
      APMLog(8, 23143, "Network operation is pending. Ignoring request to fetch configuration");
      return;
    }
    self->fetchRemoteConfig();
  });
}

void APMMeasurement::fetchRemoteConfig() {
  if (!database_) return;
  const auto identity = this->identity();
  const auto url = remoteConfig_->remoteConfigURLWithAppInstanceID(
      identity ? identity->appInstanceID() : std::nullopt, std::string("ios"),
      APMIdentity::davEroriveduveLibraryVersion(), APMPRuntime::runtimeVersion());
  if (!url || !network_) {
    APMLog(2, 23125, "Invalid server URL to get configuration");
    return;
  }
  APMLog(8, 23126, "Fetching configuration from the server");
  VULNetwork::Headers headers;
  const platform::Value lastModified = persistedConfig_->configServerLastModifiedString();
  if (lastModified.isString() && !lastModified.string().empty()) headers["If-Modified-Since"] = lastModified.string();
  if (const auto etag = nonEmpty(persistedConfig_->configServerETag())) headers["If-None-Match"] = *etag;

  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(remoteConfig_->networkTimeout());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  network_->getURL(*url, headers, scheduler_->workerQueue(), shouldUseBackgroundSession(),
                   [weak](const std::shared_ptr<platform::HTTPURLResponse>& response,
                          const std::optional<platform::Data>& data, const platform::Error& error) {
                     auto self = weak.lock();
                     if (!self) return;
                     self->isNetworkRequestPending_ = false;
                     self->networkRemoteConfigFetchCompletionHandler(response, data, error);
                   });
}

void APMMeasurement::networkRemoteConfigFetchCompletionHandler(
    const std::shared_ptr<platform::HTTPURLResponse>& response, const std::optional<platform::Data>& data,
    const platform::Error& error) {
  const std::int64_t status = response ? response->statusCode() : 0;
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  APMLog(8, 23127, "Fetched configuration. Status code", static_cast<long long>(status));
  if (status != 200 && status != 204 && status != 304 && status != 404) {
    APMLog(3, 23128, "Network request failed to fetch remote config. Code, Error", static_cast<long long>(status),
           error);
    persistedConfig_->setLastFailedUploadTimestamp(now);
    if (status == 503 || status == 429) persistedConfig_->setLastBackoffTimestamp(now);
    APMLog(3, 23129, "Network fetch failed. Will retry later. Code, error", static_cast<long long>(status), error);
    updateSchedule();
    return;
  }
  persistedConfig_->setConfigServerLastModifiedString(nonEmpty(response->valueForHTTPHeaderField("Last-Modified")));
  persistedConfig_->setConfigServerETag(nonEmpty(response->valueForHTTPHeaderField("ETag")));
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);

  // A store that cannot record the fetch would make every upload fetch again: suspend instead.
  auto recordFetch = [this, now](std::int64_t code, std::string_view message) {
    platform::Error storeError;
    if (database_->updateRemoteConfigSuccessfulTimestamp(now, &storeError)) {
      suspendedUploadTimestamp_ = 0;
    } else {
      APMLog(1, code, message, storeError);
      suspendedUploadTimestamp_ = APMBootClock();
    }
  };
  if (status == 304 || status == 404) {
    if (status == 304) {
      APMLog(8, 23131, "Configuration has not been modified. Using the same configuration. Code",
             static_cast<long long>(status));
    } else {
      APMLog(3, 23130, "Configuration not found. Using default configuration");
    }
    recordFetch(23132, "Failed to update config last set timestamp. Error");
  } else {
    const auto length = response->valueForHTTPHeaderField("Content-Length");
    APMLog(8, 23133, "Successfully fetched configuration from the server. Code, size", static_cast<long long>(status),
           length ? *length : std::to_string(data ? data->size() : 0));
    recordFetch(23134, "Failed to set last set timestamp in database. Error");
    if (data && !data->empty()) {
      database_->performTransaction([&] {
        const auto config = APMPBMeasurementConfig::initWithBuffer(*data);
        if (!config || !config->protoBuffer()) {
          APMLog(2, 23135, "Configuration data is invalid.");
          return false;
        }
        const auto identity = this->identity();
        const auto appID = NANOGetString(config.get(), configIndex(2));
        if (!identity || !appID || appID != identity->appIDFromVMP()) {
          APMLog(2, 23136, "Configuration does not have valid Videzu App ID.");
          return false;
        }
        const auto audiences = NANOGetArray<APMPBAudience>(config.get(), configIndex(6));
        if (!audience_->updateAudiences(audiences.value_or(std::vector<std::shared_ptr<APMPBAudience>>{}))) {
          APMLog(2, 23137, "Failed to update audiences with new server configuration", platform::Value(*data));
          return false;
        }
        NANOClearField(config.get(), configIndex(6));
        if (!remoteConfig_->updateMeasurementConfig(config)) {
          APMLog(2, 23138, "Failed to update configuration with new server configuration");
          return false;
        }
        return true;
      });
    }
  }
  uploadDataOrRegisterAlarm();
}
