#include "tools/terminal/capabilities.h"

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/foundation/value.h"
#include "platform/ui/device.h"

namespace terminal {

namespace {

using platform::MediaDriver::AssetFault;

constexpr const char* kZoneDatabase = "/usr/share/zoneinfo";

std::string_view trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::optional<HapticSupport> parseHapticSupport(std::string_view text, std::string& error) {
  text = trimmed(text);
  if (text == "yes") return HapticSupport{true, 2};
  if (text == "no") return HapticSupport{true, 0};
  if (text == "absent") return HapticSupport{false, 0};
  std::int64_t level = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), level);
  if (!text.empty() && ec == std::errc() && end == text.data() + text.size()) return HapticSupport{true, level};
  error = "takes yes, no, absent or a support level such as 1, not \"" + std::string(text) + "\"";
  return std::nullopt;
}

std::string describe(const HapticSupport& support) {
  if (!support.present) return "no support level";
  return "level " + std::to_string(support.level) + (support.level == 2 ? " (full)" : "");
}

void applyHapticSupport(const std::optional<HapticSupport>& support) {
  auto& device = platform::Device::current();
  if (!support) {
    device.setFeedbackSupportLevel(std::nullopt);
  } else {
    // A null value reads back as no value at all.
    device.setFeedbackSupportLevel(support->present ? platform::Value(support->level) : platform::Value());
  }
}

std::string_view torchSetupName(TorchSetup setup) {
  switch (setup) {
    case TorchSetup::Yes:
      return "yes";
    case TorchSetup::No:
      return "no";
    case TorchSetup::None:
      return "none";
    case TorchSetup::Locked:
      return "locked";
    case TorchSetup::Fails:
      return "fail";
  }
  return "?";
}

std::optional<TorchSetup> parseTorchSetup(std::string_view text, std::string& error) {
  text = trimmed(text);
  for (TorchSetup s : {TorchSetup::Yes, TorchSetup::No, TorchSetup::None, TorchSetup::Locked, TorchSetup::Fails}) {
    if (torchSetupName(s) == text) return s;
  }
  error = "takes yes, no, none, locked or fail, not \"" + std::string(text) + "\"";
  return std::nullopt;
}

void applyTorchSetup(TorchSetup setup) {
  namespace media = platform::MediaDriver;
  media::setHasCaptureDevice(setup != TorchSetup::None);
  media::setHasTorch(setup != TorchSetup::No && setup != TorchSetup::None);
  media::setLockForConfigurationFails(setup == TorchSetup::Locked);
  media::setTorchOnFails(setup == TorchSetup::Fails);
}

std::optional<AssetState> parseAssetState(std::string_view text, std::string& error) {
  text = trimmed(text);
  const auto split = text.find_last_of(" \t=");
  if (split != std::string_view::npos) {
    const std::string name(trimmed(text.substr(0, split)));
    const std::string_view state = text.substr(split + 1);
    const bool plainName = !name.empty() && name.find_first_of("/ \t") == std::string::npos && name != "." &&
                           name != "..";
    if (plainName && (state == "missing" || state == "unreadable" || state == "ok")) {
      AssetState asset{name, std::nullopt};
      if (state == "missing") asset.fault = AssetFault::Missing;
      if (state == "unreadable") asset.fault = AssetFault::Unreadable;
      return asset;
    }
  }
  error = "takes an asset's name and missing, unreadable or ok, such as \"bird missing\", not \"" +
          std::string(text) + "\"";
  return std::nullopt;
}

std::string_view assetFaultName(const std::optional<AssetFault>& fault) {
  if (!fault) return "ok";
  return *fault == AssetFault::Missing ? "missing" : "unreadable";
}

void applyAssetState(const AssetState& state) { platform::MediaDriver::setAssetFault(state.name, state.fault); }

bool isKnownTimeZone(std::string_view zone) {
  if (zone == "UTC") return true;
  if (zone.empty() || zone.front() == '/' || zone.find("..") != std::string_view::npos) return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::path(kZoneDatabase) / zone, ec);
}

void applyTimeZone(const std::string& zone) {
  ::setenv("TZ", zone.c_str(), 1);
  ::tzset();
}

std::string currentTimeZone() {
  const char* zone = std::getenv("TZ");
  return zone && *zone ? zone : "system";
}

}  // namespace terminal
