// The command line of the focus-timer executable.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/geometry.h"
#include "tools/terminal/capabilities.h"
#include "tools/terminal/permissions.h"

namespace terminal {

struct Options {
  std::string device = "iPhone";
  // Unset: the device's usual screen (375 x 667 for phones, 768 x 1024 for tablets).
  std::optional<platform::Size> screen;
  std::optional<std::filesystem::path> home;
  // Virtual seconds per real second in the interactive session.
  double speed = 1;
  std::optional<std::filesystem::path> script;
  bool color = true;
  // Console prints and system log lines also go to the terminal.
  bool verbose = false;
  bool help = false;
  // Unset: as a fresh phone has them (nothing asked yet, the user would allow; mail set up).
  std::optional<PhotoPermission> photos;
  std::optional<NotificationPermission> notifications;
  std::optional<MailSetup> mail;
  // Unset: as the device model has it.
  std::optional<HapticSupport> haptics;
  // Unset: a camera with a working torch.
  std::optional<TorchSetup> torch;
  // Sound assets that are missing or unreadable on this device.
  std::vector<AssetState> assets;
  // Unset: the zone of the environment (TZ, or the system's).
  std::optional<std::string> timezone;
  // The link the app is opened with.
  std::optional<std::string> openURL;

  // The screen the session uses.
  platform::Size screenSize() const;
};

// Parses the arguments after the program name; null with `error` set when they make no sense.
std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& error);

// The options a script file names in its header: the "#:" lines before its first command, such
// as "#: --timezone Asia/Seoul --haptics no", split at blanks. `--script` and `--home` are not
// taken from a header. False with `error` set when the file cannot be read or a header names one
// of those.
bool readScriptHeader(const std::filesystem::path& script, std::vector<std::string>& arguments, std::string& error);

// "375x667" (also "375X667"): both sides positive and at most 10000 points.
std::optional<platform::Size> parseScreenSize(const std::string& text);

std::string usage();

}  // namespace terminal
