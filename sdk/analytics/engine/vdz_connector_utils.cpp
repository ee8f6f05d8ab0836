#include "sdk/analytics/engine/vdz_connector_utils.h"

#include <array>
#include <utility>

#include "platform/foundation/error.h"
#include "platform/foundation/regular_expression.h"
#include "platform/foundation/strings.h"

namespace {

using NameSet = std::set<std::string, std::less<>>;

constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kCampaignIntegrations{{
    {"vcm", "vcm_integration"},
    {"fdl", "fdl_integration"},
    {"viam", "viam_integration"},
    {"frc", "frc_integration"},
}};

}  // namespace

// The tables below are never destroyed: a worker may still check an event against them while the
// process exits.
const NameSet& VDZConnectorUtils::allowedListenerOrigins() {
  static const NameSet* const set = new NameSet{"viam", "crash", "clx"};
  return *set;
}

const NameSet& VDZConnectorUtils::blocklistedOrigins() {
  static const NameSet* const set = new NameSet{"auto", "app", "am"};
  return *set;
}

const NameSet& VDZConnectorUtils::blocklistedEventNames() {
  static const NameSet* const set = new NameSet{"_e", "_f", "_iap", "_s", "_au"};
  return *set;
}

const NameSet& VDZConnectorUtils::blocklistedParameters() {
  static const NameSet* const set = new NameSet{"_r", "_dbg"};
  return *set;
}

const NameSet& VDZConnectorUtils::blocklistedUserProperties() {
  static const NameSet* const set = new NameSet{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
  return *set;
}

const std::vector<std::u16string>& VDZConnectorUtils::blocklistedUserPropertyPatterns() {
  static const auto* const patterns = new std::vector<std::u16string>{u"^_ltv_[A-Z]{3}$", u"^_cc[1-5]{1}$"};
  return *patterns;
}

const NameSet& VDZConnectorUtils::hiddenEventNames() {
  static const NameSet* const set = new NameSet{"_xa",  "_xu",          "_aq",       "_aa",           "_ai",
                           "_ac",  "campaign_details", "_iapx", "_ug",           "_exp_set",
                           "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"};
  return *set;
}

std::optional<std::string_view> VDZConnectorUtils::campaignIntegrationForOrigin(std::string_view origin) {
  for (const auto& [from, marker] : kCampaignIntegrations) {
    if (from == origin) return marker;
  }
  return std::nullopt;
}

bool VDZConnectorUtils::isOriginAllowed(std::string_view origin) { return !blocklistedOrigins().contains(origin); }

bool VDZConnectorUtils::isAppOrigin(std::string_view origin) {
  return origin == "app" || origin.starts_with("app+");
}

bool VDZConnectorUtils::isListenerOriginAllowed(std::string_view origin) {
  return allowedListenerOrigins().contains(origin);
}

bool VDZConnectorUtils::isEventNameAllowedForListeners(std::string_view name) {
  return !hiddenEventNames().contains(name);
}

bool VDZConnectorUtils::shouldLogEventWithName(std::string_view name, const platform::Value::Dictionary& parameters) {
  if (name.empty() || blocklistedEventNames().contains(name)) return false;
  for (const auto& blocked : blocklistedParameters()) {
    if (parameters.contains(blocked)) return false;
  }
  return true;
}

bool VDZConnectorUtils::isUserPropertyAllowed(std::string_view name, std::string_view origin) {
  if (name.empty()) return false;
  if (name == "_ln") return origin == "vcm" || origin == "viam";
  if (blocklistedUserProperties().contains(name)) return false;
  const std::u16string text = platform::strings::toUTF16(name);
  for (const auto& pattern : blocklistedUserPropertyPatterns()) {
    platform::Error error;
    if (platform::firstMatchOfRegularExpression(pattern, text, {}, &error)) return false;
  }
  return true;
}
