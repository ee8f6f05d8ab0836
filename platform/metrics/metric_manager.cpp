#include "platform/metrics/metric_manager.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/console.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/json.h"

namespace platform::metrics {

namespace {

// One payload's JSON; a file larger than this is not one.
constexpr std::uint64_t kMaxDiagnosticPayloadFileBytes = std::uint64_t{8} << 20;

// "2026-12-09 21:04:00" in UTC, as the payloads write their time stamps; an optional zone
// offset ("+0000") after it is honoured.
std::optional<Date> parseTimeStamp(const Value& value) {
  const std::string* text = value.ifString();
  if (!text) return std::nullopt;
  std::tm tm{};
  char sign = 0;
  int zone = 0;
  const int fields = std::sscanf(text->c_str(), "%d-%d-%d %d:%d:%d %c%4d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                                 &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &sign, &zone);
  if (fields < 6) return std::nullopt;
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
      tm.tm_sec > 60) {
    return std::nullopt;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  double seconds = static_cast<double>(timegm(&tm));
  if (fields == 8 && (sign == '+' || sign == '-')) {
    const double offset = (zone / 100) * 3600.0 + (zone % 100) * 60.0;
    seconds += sign == '+' ? -offset : offset;
  }
  return Date::fromTimeIntervalSince1970(seconds);
}

template <class Diagnostic>
std::vector<std::shared_ptr<Diagnostic>> diagnostics(const Value& json, std::string_view key) {
  std::vector<std::shared_ptr<Diagnostic>> result;
  if (const auto* list = json[key].ifArray()) {
    for (const auto& entry : *list) {
      if (entry.isDictionary()) result.push_back(std::make_shared<Diagnostic>(entry));
    }
  }
  return result;
}

}  // namespace

std::optional<MXMeasurement> MXMeasurement::parse(const Value& text) {
  if (text.isNumber()) return MXMeasurement{text.doubleValue(), ""};
  const std::string* string = text.ifString();
  if (!string) return std::nullopt;
  // Thousands separators ("2,000 MB") are the payload's own formatting.
  std::string digits;
  std::size_t i = 0;
  for (; i < string->size(); ++i) {
    const char c = (*string)[i];
    if (c == ',') continue;
    if ((c >= '0' && c <= '9') || c == '.' || (c == '-' && digits.empty())) {
      digits.push_back(c);
    } else {
      break;
    }
  }
  if (digits.empty() || digits == "-" || digits == ".") return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(digits.c_str(), &end);
  if (!end || *end) return std::nullopt;
  std::string unit = string->substr(i);
  unit.erase(0, unit.find_first_not_of(' '));
  return MXMeasurement{value, unit};
}

Data MXJSONObject::JSONRepresentation() const {
  const auto text = JSON::serialize(json_);
  return text ? Data(text->begin(), text->end()) : Data();
}

MXDiagnostic::MXDiagnostic(const Value& json)
    : metaData_(std::make_shared<MXMetaData>(json["diagnosticMetaData"].isDictionary() ? json["diagnosticMetaData"]
                                                                                      : Value::dictionary({}))) {
  if (const std::string* version = meta()["appVersion"].ifString()) applicationVersion_ = *version;
  if (json["callStackTree"].isDictionary()) callStackTree_ = std::make_shared<MXCallStackTree>(json["callStackTree"]);
}

std::optional<std::int64_t> MXCrashDiagnostic::integer(std::string_view key) const {
  const Value& value = meta()[key];
  if (!value.isNumber()) return std::nullopt;
  return value.integerValue();
}

std::optional<std::string> MXCrashDiagnostic::text(std::string_view key) const {
  const std::string* value = meta()[key].ifString();
  if (!value) return std::nullopt;
  return *value;
}

std::shared_ptr<MXDiagnosticPayload> MXDiagnosticPayload::payloadWithJSON(const Value& json) {
  if (!json.isDictionary()) return nullptr;
  const auto begin = parseTimeStamp(json["timeStampBegin"]);
  const auto end = parseTimeStamp(json["timeStampEnd"]);
  if (!begin || !end) return nullptr;
  auto payload = std::make_shared<MXDiagnosticPayload>();
  payload->begin_ = *begin;
  payload->end_ = *end;
  payload->crashes_ = diagnostics<MXCrashDiagnostic>(json, "crashDiagnostics");
  payload->hangs_ = diagnostics<MXHangDiagnostic>(json, "hangDiagnostics");
  payload->cpu_ = diagnostics<MXCPUExceptionDiagnostic>(json, "cpuExceptionDiagnostics");
  payload->diskWrites_ = diagnostics<MXDiskWriteExceptionDiagnostic>(json, "diskWriteExceptionDiagnostics");
  return payload;
}

MXMetricManager::MXMetricManager() : queue_(DispatchQueue::serial("platform.metrics.delivery")) {}

std::shared_ptr<MXMetricManager> MXMetricManager::sharedManager() {
  // Never destroyed: a delivery scheduled on its queue, or a worker subscribing, may still reach it
  // while the process exits.
  static const auto* const manager = new std::shared_ptr<MXMetricManager>(new MXMetricManager());
  return *manager;
}

std::filesystem::path MXMetricManager::diagnosticsDirectory() { return Home::caches() / "MetricKit" / "Diagnostics"; }

void MXMetricManager::addSubscriber(const std::shared_ptr<MXMetricManagerSubscriber>& subscriber) {
  double delay = 0;
  {
    MutexLock lock(mutex_);
    subscribers_.push_back(subscriber);
    delay = deliveryDelay_;
  }
  queue_->after(delay, [this] { deliverPendingPayloads(); });
}

void MXMetricManager::removeSubscriber(const std::shared_ptr<MXMetricManagerSubscriber>& subscriber) {
  MutexLock lock(mutex_);
  std::erase_if(subscribers_, [&](const auto& weak) {
    auto held = weak.lock();
    return !held || held == subscriber;
  });
}

void MXMetricManager::deliverPendingPayloads() {
  std::vector<std::shared_ptr<MXMetricManagerSubscriber>> subscribers;
  {
    MutexLock lock(mutex_);
    for (const auto& weak : subscribers_) {
      if (auto held = weak.lock()) subscribers.push_back(std::move(held));
    }
  }
  // Without a subscriber the payloads wait for one.
  if (subscribers.empty()) return;
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(diagnosticsDirectory(), ec)) {
    if (entry.is_regular_file(ec) && !entry.path().filename().string().starts_with(".")) files.push_back(entry.path());
  }
  if (files.empty()) return;
  std::sort(files.begin(), files.end());
  std::vector<std::shared_ptr<MXDiagnosticPayload>> payloads;
  auto& fileManager = FileManager::defaultManager();
  for (const auto& file : files) {
    Error readError;
    const auto data = fileManager.contentsOfRegularFileNoLargerThan(file, kMaxDiagnosticPayloadFileBytes, &readError);
    if (!data) {
      // Unreadable now (a link, a FIFO, too large, or trouble reading) is not damage: it stays.
      Console::log("MetricKit: " + file.filename().string() + " cannot be read; skipped: " + readError.description());
      continue;
    }
    const auto json = JSON::parse(*data);
    auto payload = json ? MXDiagnosticPayload::payloadWithJSON(*json) : nullptr;
    if (payload) {
      payloads.push_back(std::move(payload));
    } else {
      Console::log("MetricKit: " + file.filename().string() + " is not a diagnostic payload; removed");
    }
    fileManager.removeItem(file);
  }
  if (payloads.empty()) return;
  for (const auto& subscriber : subscribers) subscriber->didReceiveDiagnosticPayloads(payloads);
}

void MXMetricManager::setDeliveryDelay(double seconds) {
  MutexLock lock(mutex_);
  deliveryDelay_ = seconds;
}

void MXMetricManager::resetForTesting() {
  MutexLock lock(mutex_);
  subscribers_.clear();
  deliveryDelay_ = 0.5;
}

}  // namespace platform::metrics
