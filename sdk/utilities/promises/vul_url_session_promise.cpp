#include "sdk/utilities/promises/vul_url_session_promise.h"

#include "platform/net/url_session.h"

namespace VULPromises {

std::shared_ptr<VBLPromise<std::shared_ptr<VULURLSessionDataResponse>>> vul_dataTaskPromiseWithRequest(
    const std::shared_ptr<platform::URLSession>& session, const platform::URLRequest& request,
    std::function<void(const std::shared_ptr<platform::URLSessionTask>& task)> onTask) {
  using Promise = VBLPromise<std::shared_ptr<VULURLSessionDataResponse>>;
  return Promise::async([session, request, onTask](Promise::Fulfill fulfill, Promise::Reject reject) {
    auto task = session->dataTaskWithRequest(
        request, [fulfill, reject](const std::optional<platform::Data>& data,
                                   const std::shared_ptr<platform::HTTPURLResponse>& response,
                                   const platform::Error& error) {
          if (error) {
            reject(error);
          } else {
            fulfill(std::make_shared<VULURLSessionDataResponse>(response, data));
          }
        });
    if (onTask) onTask(task);
    task->resume();
  });
}

}  // namespace VULPromises
