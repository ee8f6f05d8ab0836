#include "tools/local-service/analytics_routes.h"

#include <zlib.h>

#include <cstring>
#include <functional>
#include <tuple>

#include "tools/local-service/measurement_config_fixture.h"
#include "tools/local-service/wire_format.h"
#include "platform/foundation/thread_safety.h"

namespace local_service {

namespace {

std::string gzip(std::string_view plain) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&stream, static_cast<uLong>(plain.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  stream.avail_in = static_cast<uInt>(plain.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return status == Z_STREAM_END ? out : std::string();
}

std::string encodeSnapshot(const ExperimentSnapshot& snapshot) {
  std::string out;
  writeBytesField(out, 1, snapshot.sdkName);
  for (const auto& [id, flags] : snapshot.experiments) {
    std::string experiment;
    writeVarintField(experiment, 1, static_cast<std::uint64_t>(static_cast<std::int64_t>(id)));
    for (const auto& [name, value] : flags) {
      std::string flag;
      writeBytesField(flag, 1, name);
      writeVarintField(flag, 2, static_cast<std::uint64_t>(value));
      writeBytesField(experiment, 2, flag);
    }
    writeBytesField(out, 2, experiment);
  }
  return out;
}

// The request as people read it: the app property's fields and each client property's SDK name
// and diversion key.
std::string describeExperimentRequest(const RecordedRequest& request, std::string& error) {
  std::vector<WireField> fields;
  if (!readWireFields(request.decodedBody, fields, error)) return {};
  std::string text;
  for (const WireField& field : fields) {
    std::vector<WireField> inner;
    if (field.wireType != 2 || !readWireFields(field.bytes, inner, error)) continue;
    text += field.number == 1 ? "  app property:" : "  client property:";
    for (const WireField& f : inner) {
      text += " " + std::to_string(f.number) + "=";
      text += f.wireType == 2 ? std::string(f.bytes) : std::to_string(f.value);
    }
    text += "\n";
  }
  return text;
}

double doubleOf(std::uint64_t bits) {
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// A parameter or user-property value from its fields: string, integer or double by tag.
std::string valueText(const WireField& field, std::uint32_t stringTag, std::uint32_t intTag, std::uint32_t doubleTag) {
  if (field.number == stringTag && field.wireType == 2) return "\"" + std::string(field.bytes) + "\"";
  if (field.number == intTag && field.wireType == 0) return std::to_string(static_cast<std::int64_t>(field.value));
  if (field.number == doubleTag && field.wireType == 1) return std::to_string(doubleOf(field.value));
  return {};
}

bool decodeEvent(std::string_view bytes, UploadedMeasurementEvent& event, std::string& error) {
  std::vector<WireField> fields;
  if (!readWireFields(bytes, fields, error)) return false;
  for (const WireField& field : fields) {
    if (field.number == 2 && field.wireType == 2) event.name = std::string(field.bytes);
    if (field.number == 3 && field.wireType == 0) event.timestampMillis = static_cast<std::int64_t>(field.value);
    if (field.number != 1 || field.wireType != 2) continue;
    std::vector<WireField> param;
    if (!readWireFields(field.bytes, param, error)) return false;
    std::string name;
    std::string value = "(array)";
    for (const WireField& f : param) {
      if (f.number == 1 && f.wireType == 2) {
        name = std::string(f.bytes);
      } else if (auto text = valueText(f, 2, 3, 5); !text.empty()) {
        value = text;
      }
    }
    event.params[name] = value;
  }
  return true;
}

bool decodeBundle(std::string_view bytes, UploadedMeasurementBundle& bundle, std::string& error) {
  std::vector<WireField> fields;
  if (!readWireFields(bytes, fields, error)) return false;
  for (const WireField& field : fields) {
    if (field.wireType == 2) {
      if (field.number == 14) bundle.appID = std::string(field.bytes);
      if (field.number == 21) bundle.appInstanceID = std::string(field.bytes);
      if (field.number == 52) bundle.consentSignals = std::string(field.bytes);
      if (field.number == 2) {
        UploadedMeasurementEvent event;
        if (!decodeEvent(field.bytes, event, error)) return false;
        bundle.events.push_back(std::move(event));
      }
      if (field.number == 3) {
        std::vector<WireField> property;
        if (!readWireFields(field.bytes, property, error)) return false;
        std::string name;
        std::string value;
        for (const WireField& f : property) {
          if (f.number == 2 && f.wireType == 2) {
            name = std::string(f.bytes);
          } else if (auto text = valueText(f, 3, 4, 6); !text.empty()) {
            value = text;
          }
        }
        bundle.userProperties[name] = value;
      }
    } else if (field.number == 4 && field.wireType == 0) {
      bundle.uploadTimestampMillis = static_cast<std::int64_t>(field.value);
    }
  }
  return true;
}

std::string_view appIDOf(std::string_view path) {
  path.remove_prefix(kMeasurementConfigPrefix.size());
  return path;
}

}  // namespace

void MeasurementConfigs::set(const std::string& appID, std::string encodedConfig, std::string etag) {
  platform::MutexLock lock(mutex_);
  byAppID_.insert_or_assign(appID, std::make_pair(std::move(encodedConfig), std::move(etag)));
}

void MeasurementConfigs::remove(const std::string& appID) {
  platform::MutexLock lock(mutex_);
  byAppID_.erase(appID);
}


bool MeasurementConfigs::setFixture(std::string json, std::string& error) {
  if (!encodeMeasurementConfig(json, "check", error)) return false;
  platform::MutexLock lock(mutex_);
  fixture_ = std::move(json);
  return true;
}

bool MeasurementConfigs::find(const std::string& appID, std::string& encodedConfig, std::string& etag) const {
  platform::MutexLock lock(mutex_);
  if (const auto it = byAppID_.find(appID); it != byAppID_.end()) {
    encodedConfig = it->second.first;
    etag = it->second.second;
    return true;
  }
  if (fixture_.empty()) return false;
  std::string error;
  auto encoded = encodeMeasurementConfig(fixture_, appID, error);
  if (!encoded) return false;
  etag = "\"fixture-" + std::to_string(std::hash<std::string>{}(*encoded)) + "\"";
  encodedConfig = std::move(*encoded);
  return true;
}

std::optional<std::vector<UploadedMeasurementBundle>> decodeMeasurementBatch(std::string_view body,
                                                                             std::string& error) {
  std::vector<WireField> fields;
  if (!readWireFields(body, fields, error)) return std::nullopt;
  std::vector<UploadedMeasurementBundle> bundles;
  for (const WireField& field : fields) {
    if (field.number != 1 || field.wireType != 2) continue;
    UploadedMeasurementBundle bundle;
    if (!decodeBundle(field.bytes, bundle, error)) return std::nullopt;
    bundles.push_back(std::move(bundle));
  }
  return bundles;
}

std::string describeMeasurementBatch(const std::vector<UploadedMeasurementBundle>& bundles) {
  std::string text;
  for (const auto& bundle : bundles) {
    text += "  bundle app=" + bundle.appID + " instance=" + bundle.appInstanceID +
            " consent=" + bundle.consentSignals + " uploaded_ms=" + std::to_string(bundle.uploadTimestampMillis) +
            "\n";
    for (const auto& event : bundle.events) {
      text += "    event " + event.name + " at_ms=" + std::to_string(event.timestampMillis);
      for (const auto& [name, value] : event.params) text += " " + name + "=" + value;
      text += "\n";
    }
    for (const auto& [name, value] : bundle.userProperties) text += "    user property " + name + "=" + value + "\n";
  }
  return text;
}

std::string experimentResponse(const std::vector<ExperimentSnapshot>& snapshots) {
  std::string out;
  for (const auto& snapshot : snapshots) writeBytesField(out, 1, encodeSnapshot(snapshot));
  return out;
}

std::string experimentResponseWithSDKResponses(
    const std::vector<std::tuple<std::string, int, std::vector<ExperimentSnapshot>>>& responses) {
  std::string out;
  for (const auto& [name, status, snapshots] : responses) {
    std::string response;
    writeBytesField(response, 1, name);
    writeVarintField(response, 2, static_cast<std::uint64_t>(status));
    for (const auto& snapshot : snapshots) writeBytesField(response, 3, encodeSnapshot(snapshot));
    writeBytesField(out, 2, response);
  }
  return out;
}

Answer experimentAnswer(std::string_view encodedResponse) {
  Answer answer;
  answer.body = gzip(encodedResponse);
  return answer;
}

std::shared_ptr<MeasurementConfigs> addAnalyticsRoutes(LocalService& service) {
  auto configs = std::make_shared<MeasurementConfigs>();
  service.addRoute(
      "POST", std::string(kExperimentFetchPath),
      [](const RecordedRequest& request) {
        if (!request.decodeError.empty()) return Answer::withStatus(400);
        return experimentAnswer({});
      },
      describeExperimentRequest);
  service.addRoute("GET", std::string(kMeasurementConfigPrefix) + "*", [configs](const RecordedRequest& request) {
    std::string body;
    std::string etag;
    if (!configs->find(std::string(appIDOf(request.path)), body, etag)) return Answer::withStatus(404);
    Answer answer;
    answer.headers.emplace_back("ETag", etag);
    // One date for every configuration the service holds: a client that sends it back without
    // an entity tag has the current one.
    answer.headers.emplace_back("Last-Modified", std::string(kMeasurementConfigLastModified));
    const auto entityTag = request.header("If-None-Match");
    if (entityTag ? *entityTag == etag : request.header("If-Modified-Since") == kMeasurementConfigLastModified) {
      answer.status = 304;
      return answer;
    }
    answer.body = std::move(body);
    return answer;
  });
  service.addRoute(
      "POST", std::string(kMeasurementUploadPath),
      [](const RecordedRequest& request) {
        if (!request.decodeError.empty() || request.header("Content-Encoding") != "gzip") {
          return Answer::withStatus(400);
        }
        return Answer::withStatus(204);
      },
      [](const RecordedRequest& request, std::string& error) {
        const auto bundles = decodeMeasurementBatch(request.decodedBody, error);
        return bundles ? describeMeasurementBatch(*bundles) : std::string();
      });
  return configs;
}

}  // namespace local_service
