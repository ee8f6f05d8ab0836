#include "tools/local-service/network_routes.h"

#include <nlohmann/json.hpp>
#include <zlib.h>

#include <charconv>
#include <optional>
#include <string>

#include "tools/local-service/local_service.h"

namespace local_service {

namespace {

std::optional<long> numberAfter(std::string_view path, std::string_view prefix) {
  if (!path.starts_with(prefix)) return std::nullopt;
  path.remove_prefix(prefix.size());
  long value = 0;
  auto [end, error] = std::from_chars(path.data(), path.data() + path.size(), value);
  if (error != std::errc() || end != path.data() + path.size()) return std::nullopt;
  return value;
}

// The HTTP library inflates gzip bodies before routes see them, so the compressed length is
// recomputed: zlib at the default level with a gzip wrapper gives the client's exact bytes.
std::optional<std::size_t> gzippedLength(const std::string& plain) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
  std::string out(deflateBound(&stream, static_cast<uLong>(plain.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  stream.avail_in = static_cast<uInt>(plain.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  const std::size_t length = stream.total_out;
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  return length;
}

Answer refusal(std::string reason) {
  Answer answer = Answer::withStatus(400);
  answer.body = std::move(reason);
  answer.contentType = "text/plain";
  return answer;
}

Answer checkGzipUpload(const RecordedRequest& request) {
  if (!request.decodeError.empty()) return refusal(request.decodeError);
  if (request.header("Content-Encoding") != "gzip") return refusal("Content-Encoding is not gzip");
  if (request.header("Content-Type") != "application/x-www-form-urlencoded") {
    return refusal("Content-Type is not application/x-www-form-urlencoded");
  }
  const auto declared = request.header("Content-Length");
  if (!declared) return refusal("no Content-Length");
  const std::size_t expected = request.decodedBody.empty() ? 0 : gzippedLength(request.decodedBody).value_or(0);
  if (*declared != std::to_string(expected)) {
    return refusal("Content-Length " + *declared + " is not the compressed length " + std::to_string(expected));
  }
  Answer answer;
  answer.body = std::to_string(request.decodedBody.size()) + " bytes received";
  answer.contentType = "text/plain";
  return answer;
}

}  // namespace

void addNetworkRoutes(LocalService& service) {
  service.addRoute("POST", std::string(kNetworkGzipSinkPath), checkGzipUpload,
                   [](const RecordedRequest& request, std::string&) {
                     return "  " + std::to_string(request.decodedBody.size()) + " bytes after inflating\n";
                   });
  service.addRoute("GET", std::string(kNetworkHeadersPath), [](const RecordedRequest& request) {
    nlohmann::json headers = nlohmann::json::object();
    for (const auto& [name, value] : request.headers) headers[name] = value;
    Answer answer;
    answer.body = headers.dump();
    answer.contentType = "application/json";
    return answer;
  });
  for (const char* method : {"GET", "POST"}) {
    service.addRoute(method, std::string(kNetworkRedirectPrefix) + "*", [](const RecordedRequest& request) {
      const auto status = numberAfter(request.path, kNetworkRedirectPrefix);
      if (!status || *status < 300 || *status > 399) return Answer::withStatus(404);
      return Answer::redirect(static_cast<int>(*status), std::string(kNetworkTargetPath));
    });
    service.addRoute(method, std::string(kNetworkTargetPath), [](const RecordedRequest& request) {
      Answer answer;
      answer.body = "arrived by " + request.method;
      answer.contentType = "text/plain";
      return answer;
    });
    service.addRoute(method, std::string(kNetworkStatusPrefix) + "*", [](const RecordedRequest& request) {
      const auto status = numberAfter(request.path, kNetworkStatusPrefix);
      if (!status || *status < 100 || *status > 599) return Answer::withStatus(404);
      Answer answer = Answer::withStatus(static_cast<int>(*status));
      answer.body = "status " + std::to_string(*status);
      answer.contentType = "text/plain";
      return answer;
    });
    service.addRoute(method, std::string(kNetworkSlowPrefix) + "*", [](const RecordedRequest& request) {
      const auto seconds = numberAfter(request.path, kNetworkSlowPrefix);
      if (!seconds || *seconds < 0 || *seconds > 60) return Answer::withStatus(404);
      Answer answer;
      answer.body = "slow";
      answer.contentType = "text/plain";
      answer.delaySeconds = static_cast<double>(*seconds);
      return answer;
    });
  }
}

}  // namespace local_service
