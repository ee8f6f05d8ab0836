#include "tools/local-service/local_service.h"

#include "tools/local-service/self_signed_identity.h"

#include <httplib.h>
#include <zlib.h>

#include <chrono>
#include <strings.h>
#include <thread>

#include "platform/foundation/thread_safety.h"

namespace local_service {

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  std::optional<std::string> found;
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) found = value;
  }
  return found;
}

std::optional<std::string> gunzip(std::string_view data, std::size_t limit) {
  if (data.size() < 2 || static_cast<unsigned char>(data[0]) != 0x1f || static_cast<unsigned char>(data[1]) != 0x8b) {
    return std::nullopt;
  }
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char chunk[16384];
  int code = Z_OK;
  while (code == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    code = inflate(&stream, Z_NO_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END) break;
    out.append(chunk, sizeof chunk - stream.avail_out);
    if (out.size() > limit) break;
    if (code == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) break;  // truncated input
  }
  inflateEnd(&stream);
  if (code != Z_STREAM_END || out.size() > limit) return std::nullopt;
  return out;
}

namespace {
// How long a client may pause within a handshake, a request or the reading of an answer.
constexpr time_t kClientPauseSeconds = 120;
}  // namespace

struct LocalService::Listener {
  std::unique_ptr<httplib::Server> http;
  std::thread thread;
  std::string certificatePEM;
};

LocalService::LocalService() = default;

LocalService::~LocalService() { stop(); }

std::optional<int> LocalService::listen(std::unique_ptr<Listener>& slot, std::unique_ptr<Listener> listener,
                                        int port) {
  stopListener(slot);
  httplib::Server& http = *listener->http;
  const auto handle = [this](const httplib::Request& in, std::string body, httplib::Response& out) {
    RecordedRequest request;
    request.method = in.method;
    request.path = in.path;
    if (auto q = in.target.find('?'); q != std::string::npos) request.query = in.target.substr(q + 1);
    for (const auto& [key, value] : in.headers) {
      // The server's own bookkeeping, not something the client sent.
      if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" || key == "LOCAL_PORT") continue;
      request.headers.emplace_back(key, value);
    }
    request.body = std::move(body);
    // Taken before the request is recorded, so a release that follows the recording is never missed.
    std::uint64_t generation = 0;
    {
      platform::MutexLock lock(mutex_);
      generation = releaseGeneration_;
    }
    Answer reply = answer(request);
    if (reply.hang) {
      platform::MutexLock lock(mutex_);
      while (generation == releaseGeneration_) released_.wait(lock);
    }
    if (reply.delaySeconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(reply.delaySeconds));
    out.status = reply.status;
    for (const auto& [key, value] : reply.headers) out.set_header(key, value);
    if (!reply.body.empty()) out.set_content(reply.body, reply.contentType);
  };
  // Bodies are read through a content reader: the library's own reading refuses form-encoded
  // bodies past 8 KB, and the SDK uploads larger ones with that content type.
  const auto withBody = [handle](const httplib::Request& in, httplib::Response& out,
                                 const httplib::ContentReader& reader) {
    std::string body;
    reader([&body](const char* data, std::size_t length) {
      body.append(data, length);
      return true;
    });
    handle(in, std::move(body), out);
  };
  const auto withoutBody = [handle](const httplib::Request& in, httplib::Response& out) { handle(in, in.body, out); };
  http.Get(".*", withoutBody);
  http.Post(".*", withBody);
  http.Put(".*", withBody);
  http.Delete(".*", withBody);
  http.Patch(".*", withBody);
  // A client on a busy machine (or one whose trust decision waits for its main thread) may pause
  // for seconds mid-handshake or mid-request; the library's few seconds would cut it off as a lost
  // connection. Nothing but local clients ever reaches this service.
  http.set_read_timeout(kClientPauseSeconds);
  http.set_write_timeout(kClientPauseSeconds);
  const int bound = port == 0 ? http.bind_to_any_port("127.0.0.1") : (http.bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound <= 0) return std::nullopt;
  listener->thread = std::thread([&http] { http.listen_after_bind(); });
  // A stop that came before the listening loop began would be lost, and the loop never end.
  while (!http.is_running()) std::this_thread::yield();
  slot = std::move(listener);
  return bound;
}

void LocalService::stopListener(std::unique_ptr<Listener>& listener) {
  if (!listener) return;
  listener->http->stop();
  if (listener->thread.joinable()) listener->thread.join();
  listener.reset();
}

std::optional<int> LocalService::start(int port) {
  auto listener = std::make_unique<Listener>();
  listener->http = std::make_unique<httplib::Server>();
  auto bound = listen(server_, std::move(listener), port);
  if (bound) port_ = *bound;
  return bound;
}

std::optional<int> LocalService::startTLS(int port) {
  auto identity = makeSelfSignedIdentity();
  if (!identity) return std::nullopt;
  auto listener = std::make_unique<Listener>();
  listener->http = std::make_unique<httplib::SSLServer>(identity->certificate.get(), identity->key.get());
  if (!listener->http->is_valid()) return std::nullopt;
  listener->certificatePEM = identity->certificatePEM;
  auto bound = listen(tlsServer_, std::move(listener), port);
  if (bound) tlsPort_ = *bound;
  return bound;
}

void LocalService::releaseHungRequests() {
  {
    platform::MutexLock lock(mutex_);
    ++releaseGeneration_;
  }
  released_.notify_all();
}

void LocalService::stop() {
  releaseHungRequests();
  stopListener(server_);
  stopListener(tlsServer_);
}

std::string LocalService::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string LocalService::tlsBaseURL() const { return "https://127.0.0.1:" + std::to_string(tlsPort_); }

std::string LocalService::certificatePEM() const { return tlsServer_ ? tlsServer_->certificatePEM : std::string(); }

void LocalService::addRoute(std::string method, std::string path, Handler handler, Describer describer) {
  platform::MutexLock lock(mutex_);
  routes_.push_back({std::move(method), std::move(path), std::move(handler), std::move(describer)});
}

void LocalService::enqueueAnswer(std::string path, Answer answer) {
  platform::MutexLock lock(mutex_);
  queued_[std::move(path)].push_back(std::move(answer));
}

void LocalService::setAnswer(std::string path, Answer answer) {
  platform::MutexLock lock(mutex_);
  standing_[std::move(path)] = std::move(answer);
}

void LocalService::clearAnswers() {
  platform::MutexLock lock(mutex_);
  queued_.clear();
  standing_.clear();
}

bool LocalService::matches(std::string_view pattern, std::string_view path) {
  if (pattern.ends_with("/*")) {
    pattern.remove_suffix(1);
    return path.starts_with(pattern) || path == pattern.substr(0, pattern.size() - 1);
  }
  return pattern == path;
}

Answer LocalService::answer(RecordedRequest& request) {
  // The HTTP library may inflate gzip bodies itself (when built with zlib); then they arrive
  // readable already and only a body still in gzip form is inflated here.
  const bool stillGzipped = request.body.size() >= 2 && static_cast<unsigned char>(request.body[0]) == 0x1f &&
                            static_cast<unsigned char>(request.body[1]) == 0x8b;
  if (request.header("Content-Encoding") == "gzip" && stillGzipped) {
    if (auto inflated = gunzip(request.body)) {
      request.decodedBody = std::move(*inflated);
    } else {
      request.decodeError = "the body is not valid gzip";
    }
  } else {
    request.decodedBody = request.body;
  }

  const Route* route = nullptr;
  Handler handler;
  Describer describer;
  std::optional<Answer> scripted;
  Printer printer;
  {
    platform::MutexLock lock(mutex_);
    for (const Route& candidate : routes_) {
      if (candidate.method == request.method && matches(candidate.path, request.path) &&
          (!route || candidate.path.size() > route->path.size())) {
        route = &candidate;
      }
    }
    const auto scriptFor = [&](auto& table) -> decltype(&table.begin()->second) {
      decltype(&table.begin()->second) best = nullptr;
      std::size_t bestLength = 0;
      for (auto& [pattern, entry] : table) {
        if (matches(pattern, request.path) && (!best || pattern.size() > bestLength)) {
          best = &entry;
          bestLength = pattern.size();
        }
      }
      return best;
    };
    if (auto* queue = scriptFor(queued_); queue && !queue->empty()) {
      scripted = std::move(queue->front());
      queue->pop_front();
    } else if (auto* standing = scriptFor(standing_)) {
      scripted = *standing;
    }
    printer = printer_;
    if (route) {
      handler = route->handler;
      describer = route->describer;
    }
  }
  if (describer && request.decodeError.empty()) request.description = describer(request, request.decodeError);
  Answer reply = scripted ? *scripted : handler ? handler(request) : Answer::withStatus(404);
  if (printer) printer(request, reply);
  {
    platform::MutexLock lock(mutex_);
    requests_.push_back(request);
  }
  recorded_.notify_all();
  return reply;
}

std::vector<RecordedRequest> LocalService::requests() const {
  platform::MutexLock lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> LocalService::requestsTo(std::string_view path) const {
  platform::MutexLock lock(mutex_);
  std::vector<RecordedRequest> found;
  for (const auto& request : requests_) {
    if (matches(path, request.path)) found.push_back(request);
  }
  return found;
}

void LocalService::clearRequests() {
  platform::MutexLock lock(mutex_);
  requests_.clear();
}

bool LocalService::waitForRequests(std::size_t count, double timeoutSeconds) const {
  return waitForRequestsTo({}, count, timeoutSeconds);
}

bool LocalService::waitForRequestsTo(std::string_view path, std::size_t count, double timeoutSeconds) const {
  platform::MutexLock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                              std::chrono::duration<double>(timeoutSeconds));
  for (;;) {
    std::size_t found = 0;
    for (const auto& request : requests_) found += path.empty() || matches(path, request.path) ? 1 : 0;
    if (found >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    recorded_.waitUntil(lock, deadline);
  }
}

void LocalService::setPrinter(Printer printer) {
  platform::MutexLock lock(mutex_);
  printer_ = std::move(printer);
}

}  // namespace local_service
