#include "tools/local-service/analytics_routes.h"

#include <zlib.h>

#include <tuple>

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

bool MeasurementConfigs::find(const std::string& appID, std::string& encodedConfig, std::string& etag) const {
  platform::MutexLock lock(mutex_);
  const auto it = byAppID_.find(appID);
  if (it == byAppID_.end()) return false;
  encodedConfig = it->second.first;
  etag = it->second.second;
  return true;
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
    if (request.header("If-None-Match") == etag) {
      answer.status = 304;
      return answer;
    }
    answer.body = std::move(body);
    return answer;
  });
  return configs;
}

}  // namespace local_service
