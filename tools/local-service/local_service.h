// The local service: one HTTP server on 127.0.0.1 that plays every remote end of the SDK. It
// records each request (method, path, headers, raw and decoded body), answers through the route
// that owns the path, or with an answer a test or a developer scripted, and can hand each request
// to a printer. Routes live in files of their own beside this one (transport_routes.cpp, ...) and
// are listed in routes.cpp.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/thread_safety.h"

namespace local_service {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string query;  // without the "?"
  Headers headers;
  std::string body;         // as received (the HTTP library may have inflated a gzip body already)
  std::string decodedBody;  // gunzipped when the request said "Content-Encoding: gzip"
  std::string decodeError;  // why the body could not be gunzipped or read by its route
  std::string description;  // what the route made of the body, for people

  // The last value of a header, by name without regard to case.
  std::optional<std::string> header(std::string_view name) const;
};

struct Answer {
  int status = 200;
  Headers headers;
  std::string body;
  std::string contentType = "application/octet-stream";
  // Real seconds the answer waits before it is sent.
  double delaySeconds = 0;
  // Never answered until releaseHungRequests() or stop(): a service that accepted the request and
  // went silent.
  bool hang = false;

  static Answer withStatus(int status) {
    Answer answer;
    answer.status = status;
    return answer;
  }
  // A redirect (301, 302, 303, 307 or 308) to `location`.
  static Answer redirect(int status, std::string location) {
    Answer answer = withStatus(status);
    answer.headers.emplace_back("Location", std::move(location));
    return answer;
  }
};

class LocalService {
 public:
  // The route's own answer to a request, and its reading of the body (an empty description
  // leaves the body undescribed; an error fills decodeError).
  using Handler = std::function<Answer(const RecordedRequest& request)>;
  using Describer = std::function<std::string(const RecordedRequest& request, std::string& error)>;
  using Printer = std::function<void(const RecordedRequest& request, const Answer& answer)>;

  LocalService();
  ~LocalService();
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  // Listens on 127.0.0.1 at `port` (0: a free one) and serves on threads of its own. The port,
  // or none when it cannot listen.
  std::optional<int> start(int port = 0);
  void stop();
  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string baseURL() const;

  // A second listener speaking HTTPS on 127.0.0.1 with the same routes, answers and records. Its
  // certificate is made at start, self-signed for 127.0.0.1 and "localhost", so no client trusts
  // it unless told to (certificatePEM). The port, or none when it cannot listen.
  std::optional<int> startTLS(int port = 0);
  int tlsPort() const { return tlsPort_; }
  // "https://127.0.0.1:<port>"
  std::string tlsBaseURL() const;
  // The listener's certificate in PEM form (empty before startTLS).
  std::string certificatePEM() const;

  // A path ending in "/*" owns every path below it; the longest match wins.
  void addRoute(std::string method, std::string path, Handler handler, Describer describer = {});

  // Scripted answers for a path (matched as routes are): queued ones are used once each, in
  // order, before a standing one, before the route's own.
  void enqueueAnswer(std::string path, Answer answer);
  void setAnswer(std::string path, Answer answer);
  void clearAnswers();

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requestsTo(std::string_view path) const;
  void clearRequests();
  // Real seconds; true once at least `count` requests were recorded.
  bool waitForRequests(std::size_t count, double timeoutSeconds) const EXCLUDES(mutex_);
  // Waits until `count` requests whose path matches `path` (as routes match; empty: any) have arrived.
  bool waitForRequestsTo(std::string_view path, std::size_t count, double timeoutSeconds) const EXCLUDES(mutex_);

  void setPrinter(Printer printer);

  // Lets every request held by a hanging answer go (they are answered as scripted, without the hang).
  void releaseHungRequests() EXCLUDES(mutex_);

 private:
  struct Route {
    std::string method;
    std::string path;
    Handler handler;
    Describer describer;
  };
  Answer answer(RecordedRequest& request);
  static bool matches(std::string_view pattern, std::string_view path);

  struct Listener;
  std::optional<int> listen(std::unique_ptr<Listener>& slot, std::unique_ptr<Listener> listener, int port);
  static void stopListener(std::unique_ptr<Listener>& listener);

  std::unique_ptr<Listener> server_;
  std::unique_ptr<Listener> tlsServer_;
  int port_ = 0;
  int tlsPort_ = 0;
  mutable platform::Mutex mutex_;
  mutable platform::ConditionVariable recorded_;
  std::vector<Route> routes_ GUARDED_BY(mutex_);
  std::map<std::string, std::deque<Answer>> queued_ GUARDED_BY(mutex_);
  std::map<std::string, Answer> standing_ GUARDED_BY(mutex_);
  std::vector<RecordedRequest> requests_ GUARDED_BY(mutex_);
  Printer printer_ GUARDED_BY(mutex_);
  mutable platform::ConditionVariable released_;
  std::uint64_t releaseGeneration_ GUARDED_BY(mutex_) = 0;
};

class MeasurementConfigs;

// Every route of every remote end, as the executable and the end-to-end tests use them; the
// measurement configurations served, for callers that set their own.
std::shared_ptr<MeasurementConfigs> addDefaultRoutes(LocalService& service);

// zlib's gzip reader, bounded: none when the data is not gzip or would inflate past `limit`.
std::optional<std::string> gunzip(std::string_view data, std::size_t limit = 64u << 20);

}  // namespace local_service
