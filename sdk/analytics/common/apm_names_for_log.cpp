#include "sdk/analytics/common/apm_names_for_log.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/strings.h"
#include "platform/runtime/class.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/core/core/vdz_app.h"

namespace {

constexpr std::string_view kPreferredLast = "vuduzara_";

bool showsPublicNames() {
  return APMMeasurementMonitor()->isDebugModeEnabled() &&
         platform::runtime::classNamed(kVDZAnalyticsClassName) != nullptr;
}

std::string withPublicName(std::string_view publicName, std::string_view internalName) {
  return std::string(publicName) + " (" + std::string(internalName) + ")";
}

}  // namespace

std::string APMNameForLog(const APMObject& name, const APMNameTable& publicToInternal) {
  const std::string* text = name.ifString();
  if (!text) return name.description();
  if (text->empty() || publicToInternal.empty() || text->front() != '_' || !showsPublicNames()) return *text;
  // Of several public names the first that is not a "vuduzara_" one is shown.
  const std::string* found = nullptr;
  for (const auto& [publicName, internalName] : publicToInternal) {
    if (internalName != *text) continue;
    const bool preferred = !publicName.starts_with(kPreferredLast);
    if (!found || (preferred && found->starts_with(kPreferredLast))) found = &publicName;
    if (preferred) break;
  }
  return found ? withPublicName(*found, *text) : *text;
}

std::string APMEventNameForLog(const APMObject& name) {
  return APMNameForLog(name, APMPublicToInternalEventNames());
}

std::string APMParameterNameForLog(const APMObject& name) {
  return APMNameForLog(name, APMPublicToInternalParameterNames());
}

std::string APMUserPropertyNameForLog(const APMObject& name) {
  if (const std::string* text = name.ifString(); text && text->starts_with("_exp_")) {
    return withPublicName("experiment_id", *text);
  }
  return APMNameForLog(name, APMPublicToInternalUserPropertyNames());
}

std::string APMParametersForLog(const APMObject& parameters) {
  if (!parameters.isDictionary() || !APMMeasurementMonitor()->isDebugModeEnabled()) return parameters.description();
  std::vector<std::string> lines;
  for (const auto& [name, value] : parameters.dictionaryEntries()) {
    std::string text = value.description();
    if (const APMValuePtr* apmValue = value.apmValue(); name == "_err" && *apmValue && (*apmValue)->isInt64()) {
      const std::int64_t code = (*apmValue)->int64Value();
      const auto codeName = APMErrorCodeName(code);
      text = codeName ? withPublicName(*codeName, std::to_string(code)) : std::to_string(code);
    }
    lines.push_back("    " + APMParameterNameForLog(name) + " = " + text + ";\n");
  }
  std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return platform::strings::caseInsensitiveCompare(a, b) < 0;
  });
  std::string out = "{\n";
  for (const std::string& line : lines) out += line;
  return out + "}";
}
