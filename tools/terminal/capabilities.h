// What the phone itself offers the app: haptic hardware, a torch, the sound assets as found on
// the device, and the time zone it is set to. Options and script commands read them from words
// such as "no", "locked" or "bird missing"; each can be changed while the app runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/media/media_driver.h"

namespace terminal {

// The device's "_feedbackSupportLevel": a number (2 is full haptic support), or no value at all.
struct HapticSupport {
  bool present = true;
  std::int64_t level = 2;
  friend bool operator==(const HapticSupport&, const HapticSupport&) = default;
};
// "yes" (level 2), "no" (level 0), "absent" (no value), or a whole number.
std::optional<HapticSupport> parseHapticSupport(std::string_view text, std::string& error);
std::string describe(const HapticSupport& support);
// Null: as the device model has it (2 on phones, 0 elsewhere).
void applyHapticSupport(const std::optional<HapticSupport>& support);

// "yes": a camera with a torch; "no": a camera without one; "none": no camera at all; "locked":
// the torch is there but its configuration lock is refused; "fail": the lock is given but the
// torch refuses to switch on.
enum class TorchSetup { Yes, No, None, Locked, Fails };
std::string_view torchSetupName(TorchSetup setup);
std::optional<TorchSetup> parseTorchSetup(std::string_view text, std::string& error);
void applyTorchSetup(TorchSetup setup);

// One sound asset as the device finds it: "NAME missing", "NAME unreadable" or "NAME ok" (also
// written NAME=STATE on the command line).
struct AssetState {
  std::string name;
  std::optional<platform::MediaDriver::AssetFault> fault;
};
std::optional<AssetState> parseAssetState(std::string_view text, std::string& error);
std::string_view assetFaultName(const std::optional<platform::MediaDriver::AssetFault>& fault);
void applyAssetState(const AssetState& state);

// A zone of the system's time-zone database ("Asia/Seoul", "America/Los_Angeles") or "UTC".
// Checked against the database: a name it does not know would silently mean UTC to the C library.
bool isKnownTimeZone(std::string_view zone);
// Sets the process's local zone (TZ), which the app's calendar and the side pane read.
void applyTimeZone(const std::string& zone);
// The zone in effect: TZ, or "system" when it is unset.
std::string currentTimeZone();

}  // namespace terminal
