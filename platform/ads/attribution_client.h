// The search-ad attribution client ("ADClient"): present only when the app links the ads
// framework (`link`), so callers look its class up by name. It answers a details request on a
// thread of its own with what a test or the terminal front end scripted: answers queued for one
// request each, then the standing answer (by default an installation that no campaign brought).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/runtime/object.h"

namespace platform::ads {

inline constexpr std::string_view kAttributionClientClassName = "ADClient";
inline constexpr std::string_view kSharedClientSelector = "sharedClient";
inline constexpr std::string_view kRequestAttributionDetailsSelector = "requestAttributionDetailsWithBlock:";
// The platform's domain for attribution errors.
inline constexpr std::string_view kAttributionErrorDomain = "ADClientErrorDomain";

class AttributionClient : public runtime::Object {
 public:
  using Handler = std::function<void(const Value::Dictionary& details, const std::optional<Error>& error)>;
  struct Answer {
    // One entry per answer version, each a dictionary of "iad-*" keys.
    Value::Dictionary details;
    std::optional<Error> error;
  };

  // Makes the class known to the runtime (the app links the framework). Idempotent.
  static void link();
  // Tests: the framework is not linked, the script is empty.
  static void resetForTesting();

  // The shared client; its runtime class is "ADClient".
  static std::shared_ptr<AttributionClient> sharedClient();
  void requestAttributionDetails(Handler handler);

  static void enqueueAnswer(Answer answer);
  static void setStandingAnswer(Answer answer);
  static std::size_t requestCount();
  // A details dictionary of the current answer version.
  static Value::Dictionary details(bool attributed, std::string_view campaignName = {}, std::string_view keyword = {},
                                   std::string_view campaignID = {});
};

}  // namespace platform::ads
