#include "sdk/crash/network/rlz_tsm_network_client.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <type_traits>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/uuid.h"
#include "sdk/crash/network/rlz_network_response_handler.h"

namespace {

// A server's Retry-After raised to the attempt count could put a retry past any meaningful time
// (or past what a delay can hold); a day is the longest wait.
constexpr double kMaximumDelaySeconds = 24 * 60 * 60;

// The C library's 48-bit generator, with a state of its own: the shared one of drand48 is not
// safe between threads.
struct Generator {
  platform::Mutex mutex;
  unsigned short state[3] GUARDED_BY(mutex) = {0, 0, 0};
  bool seeded GUARDED_BY(mutex) = false;
};

double uniform48() {
  static Generator generator;
  platform::MutexLock lock(generator.mutex);
  auto& state = generator.state;
  auto& seeded = generator.seeded;
  if (!seeded) {
    const auto bytes = platform::UUID().bytes();
    for (int i = 0; i < 3; ++i) state[i] = static_cast<unsigned short>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    seeded = true;
  }
  return erand48(state);
}

}  // namespace

std::shared_ptr<RLZTSMNetworkClient> RLZTSMNetworkClient::initWithQueue(std::shared_ptr<platform::DispatchQueue> queue) {
  return initWithSessionConfiguration(platform::URLSessionConfiguration::defaultSessionConfiguration(),
                                      std::move(queue));
}

std::shared_ptr<RLZTSMNetworkClient> RLZTSMNetworkClient::initWithSessionConfiguration(
    platform::URLSessionConfiguration configuration, std::shared_ptr<platform::DispatchQueue> queue) {
  // The client's session callbacks would all do nothing (redirects followed, invalidation
  // ignored), so the session runs without a delegate and holds no reference back to the client.
  auto session = platform::URLSession::sessionWithConfiguration(std::move(configuration), nullptr, std::move(queue));
  if (!session) return nullptr;
  return std::make_shared<RLZTSMNetworkClient>(Token{}, std::move(session));
}

RLZTSMNetworkClient::RLZTSMNetworkClient(Token, std::shared_ptr<platform::URLSession> session)
    : session_(std::move(session)) {}

RLZTSMNetworkClient::~RLZTSMNetworkClient() { session_->finishTasksAndInvalidate(); }

void RLZTSMNetworkClient::invalidateAndCancel() { session_->invalidateAndCancel(); }

void RLZTSMNetworkClient::startDataTaskWithRequest(const platform::URLRequest& request, unsigned retryLimit,
                                                   unsigned tries, DataCompletion completionHandler) {
  startTask<platform::Data>(request, retryLimit, tries, std::move(completionHandler));
}

void RLZTSMNetworkClient::startDownloadTaskWithRequest(const platform::URLRequest& request, unsigned retryLimit,
                                                       unsigned tries, DownloadCompletion completionHandler) {
  startTask<std::filesystem::path>(request, retryLimit, tries, std::move(completionHandler));
}

template <class Payload>
void RLZTSMNetworkClient::startTask(
    const platform::URLRequest& request, unsigned retryLimit, unsigned tries,
    std::function<void(const std::optional<Payload>&, const std::shared_ptr<platform::HTTPURLResponse>&,
                       const platform::Error&)>
        completion) {
  auto onComplete = [self = shared_from_this(), request, retryLimit, tries, completion](
                        const std::optional<Payload>& payload,
                        const std::shared_ptr<platform::HTTPURLResponse>& response, const platform::Error& error) {
    RLZNetworkResponseHandler::handleCompletedResponse(
        response.get(), request, error, [&](bool retry, const platform::Error& decided) {
          if (!retry) return completion(payload, response, decided);
          if (tries >= retryLimit) {
            platform::Value::Dictionary info;
            info[std::string(kRLZNetworkRetryLimitKey)] = platform::Value(static_cast<std::uint64_t>(retryLimit));
            info[std::string(platform::kURLErrorFailingURLStringErrorKey)] = request.url();
            return completion(std::nullopt, nullptr,
                              RLZNetworkResponseHandler::errorForCode(kRLZNetworkErrorRetryLimit, std::move(info)));
          }
          runAfterRetryValueFromResponse(response.get(), tries, [self, request, retryLimit, tries, completion] {
            self->startTask<Payload>(request, retryLimit, tries + 1, completion);
          });
        });
  };

  std::shared_ptr<platform::URLSessionTask> task;
  try {
    if constexpr (std::is_same_v<Payload, platform::Data>) {
      task = session_->dataTaskWithRequest(request, std::move(onComplete));
    } else {
      task = session_->downloadTaskWithRequest(request, std::move(onComplete));
    }
  } catch (const platform::Exception&) {
    // An invalidated session makes no tasks; a retry due after invalidation ends here.
  }
  if (!task) {
    return completion(std::nullopt, nullptr, RLZNetworkResponseHandler::errorForCode(kRLZNetworkErrorTaskNotCreated, {}));
  }
  task->resume();
}

double RLZTSMNetworkClient::randomDoubleWithMin(double min, double max) { return min + (max - min) * uniform48(); }

double RLZTSMNetworkClient::generateRandomJitter() {
  return randomDoubleWithMin(static_cast<double>(0.9f), static_cast<double>(1.1f));
}

double RLZTSMNetworkClient::computeDelayForResponse(const platform::HTTPURLResponse* response, unsigned tries) {
  const double base = std::max(RLZNetworkResponseHandler::retryValueForResponse(response), 2.0);
  const double exponent = std::max(tries, 1u);
  const double delay = generateRandomJitter() * std::pow(base, exponent);
  return std::isfinite(delay) ? std::min(delay, kMaximumDelaySeconds) : kMaximumDelaySeconds;
}

void RLZTSMNetworkClient::runAfterRetryValueFromResponse(const platform::HTTPURLResponse* response, unsigned attempts,
                                                         const std::shared_ptr<platform::DispatchQueue>& queue,
                                                         std::function<void()> block) {
  queue->after(computeDelayForResponse(response, attempts), std::move(block));
}

void RLZTSMNetworkClient::runAfterRetryValueFromResponse(const platform::HTTPURLResponse* response, unsigned attempts,
                                                         std::function<void()> block) {
  runAfterRetryValueFromResponse(response, attempts, platform::DispatchQueue::global(), std::move(block));
}
