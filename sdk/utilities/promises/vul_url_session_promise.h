// URL-session data tasks as promises: NSURLSession(VULPromises).
#pragma once

#include <memory>
#include <optional>

#include "platform/foundation/value.h"
#include "sdk/utilities/promises/vbl_promise.h"

namespace platform {
class HTTPURLResponse;
class URLRequest;
class URLSession;
class URLSessionTask;
}  // namespace platform

class VULURLSessionDataResponse {
 public:
  VULURLSessionDataResponse(std::shared_ptr<platform::HTTPURLResponse> response, std::optional<platform::Data> body)
      : response_(std::move(response)), body_(std::move(body)) {}

  const std::shared_ptr<platform::HTTPURLResponse>& HTTPResponse() const { return response_; }
  const std::optional<platform::Data>& HTTPBody() const { return body_; }

 private:
  std::shared_ptr<platform::HTTPURLResponse> response_;
  std::optional<platform::Data> body_;
};

namespace VULPromises {

// Fulfilled with the response whatever its status; rejected only when the task fails (no
// response). `onTask`, when given, receives the task once it is made, so that the caller can
// cancel it.
std::shared_ptr<VBLPromise<std::shared_ptr<VULURLSessionDataResponse>>> vul_dataTaskPromiseWithRequest(
    const std::shared_ptr<platform::URLSession>& session, const platform::URLRequest& request,
    std::function<void(const std::shared_ptr<platform::URLSessionTask>& task)> onTask = nullptr);

}  // namespace VULPromises
