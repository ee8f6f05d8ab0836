// Reading the event messages that bundling and sampling work on, by wire tag.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_event_params.h"

namespace APMEventMessage {

inline constexpr std::uint32_t kParams = 1;
inline constexpr std::uint32_t kName = 2;
inline constexpr std::uint32_t kTimestamp = 3;
inline constexpr std::uint32_t kPreviousTimestamp = 4;
inline constexpr std::uint32_t kParamName = 1;
inline constexpr std::uint32_t kParamInt = 3;

inline std::string name(const APMPBEvent& event) {
  return NANOGetString(&event, APMFieldIndex(event, kName)).value_or("");
}

inline std::int64_t int64Field(const APMPBEvent& event, std::uint32_t tag) {
  return NANOGetInt64(&event, APMFieldIndex(event, tag));
}

inline std::vector<std::shared_ptr<APMPBEventParam>> params(const APMPBEvent& event) {
  return NANOGetArray<APMPBEventParam>(&event, APMFieldIndex(event, kParams))
      .value_or(std::vector<std::shared_ptr<APMPBEventParam>>{});
}

inline bool isNamed(const APMPBEventParam& param, std::string_view name) {
  return NANOGetString(&param, APMFieldIndex(param, kParamName)) == name;
}

// The parameter of that name, when the event has one.
inline std::shared_ptr<APMPBEventParam> parameter(const APMPBEvent& event, std::string_view name) {
  for (auto& param : params(event)) {
    if (isNamed(*param, name)) return param;
  }
  return nullptr;
}

// Its int64 value, when it holds one.
inline std::optional<std::int64_t> intParameter(const APMPBEvent& event, std::string_view name) {
  const auto param = parameter(event, name);
  if (!param) return std::nullopt;
  const std::int32_t field = APMFieldIndex(*param, kParamInt);
  if (!NANOHasField(param.get(), field)) return std::nullopt;
  return NANOGetInt64(param.get(), field);
}

}  // namespace APMEventMessage
