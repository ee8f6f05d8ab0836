#include "platform/ads/attribution_client.h"

#include <deque>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runtime/class.h"
#include "platform/runtime/message.h"

namespace platform::ads {

namespace {

struct Script {
  Mutex mutex;
  std::deque<AttributionClient::Answer> queued GUARDED_BY(mutex);
  std::optional<AttributionClient::Answer> standing GUARDED_BY(mutex);
  std::size_t requests GUARDED_BY(mutex) = 0;
};

Script& script() {
  static Script* s = new Script;
  return *s;
}

AttributionClient::Answer nextAnswer() {
  Script& s = script();
  MutexLock lock(s.mutex);
  ++s.requests;
  if (!s.queued.empty()) {
    auto answer = std::move(s.queued.front());
    s.queued.pop_front();
    return answer;
  }
  if (s.standing) return *s.standing;
  return {AttributionClient::details(false), std::nullopt};
}

std::shared_ptr<const runtime::Class> clientClass() {
  runtime::ClassDefinition d;
  d.name = std::string(kAttributionClientClassName);
  d.superclass = runtime::rootClass();
  d.instanceSize = sizeof(AttributionClient);
  d.classMethods.emplace(kSharedClientSelector, runtime::method([] { return AttributionClient::sharedClient(); }));
  d.instanceMethods.emplace(kRequestAttributionDetailsSelector,
                            runtime::implementation([](AttributionClient& client, const AttributionClient::Handler& h) {
                              client.requestAttributionDetails(h);
                            }));
  return runtime::registerClassOnce(std::move(d));
}

}  // namespace

void AttributionClient::link() { clientClass(); }

void AttributionClient::resetForTesting() {
  runtime::unregisterClass(kAttributionClientClassName);
  Script& s = script();
  MutexLock lock(s.mutex);
  s.queued.clear();
  s.standing.reset();
  s.requests = 0;
}

std::shared_ptr<AttributionClient> AttributionClient::sharedClient() {
  // Never destroyed: the analytics queue asks for it, which may be while the process exits.
  static const auto* const client = new std::shared_ptr<AttributionClient>(std::make_shared<AttributionClient>());
  // The class may have been registered anew since (tests unlink and link again).
  if (const auto cls = runtime::classNamed(kAttributionClientClassName)) runtime::setClass(**client, cls);
  return *client;
}

void AttributionClient::requestAttributionDetails(Handler handler) {
  if (!handler) return;
  Answer answer = nextAnswer();
  DispatchQueue::global()->async([handler = std::move(handler), answer = std::move(answer)] {
    handler(answer.details, answer.error);
  });
}

void AttributionClient::enqueueAnswer(Answer answer) {
  Script& s = script();
  MutexLock lock(s.mutex);
  s.queued.push_back(std::move(answer));
}

void AttributionClient::setStandingAnswer(Answer answer) {
  Script& s = script();
  MutexLock lock(s.mutex);
  s.standing = std::move(answer);
}

std::size_t AttributionClient::requestCount() {
  Script& s = script();
  MutexLock lock(s.mutex);
  return s.requests;
}

Value::Dictionary AttributionClient::details(bool attributed, std::string_view campaignName, std::string_view keyword,
                                             std::string_view campaignID) {
  Value::Dictionary version{{"iad-attribution", Value(attributed)}};
  if (!campaignName.empty()) version.emplace("iad-campaign-name", Value(campaignName));
  if (!keyword.empty()) version.emplace("iad-keyword", Value(keyword));
  if (!campaignID.empty()) version.emplace("iad-campaign-id", Value(campaignID));
  return {{"Version3.1", Value(std::move(version))}};
}

}  // namespace platform::ads
