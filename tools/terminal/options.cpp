#include "tools/terminal/options.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace terminal {

namespace {

std::optional<double> parseNumber(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

platform::Size Options::screenSize() const {
  if (screen) return *screen;
  if (device.rfind("iPad", 0) == 0) return platform::Size{768, 1024};
  return platform::Size{375, 667};
}

std::optional<platform::Size> parseScreenSize(const std::string& text) {
  auto x = text.find_first_of("xX");
  if (x == std::string::npos) return std::nullopt;
  auto width = parseNumber(text.substr(0, x));
  auto height = parseNumber(text.substr(x + 1));
  constexpr double kLargest = 10000;
  if (!width || !height || *width <= 0 || *height <= 0 || *width > kLargest || *height > kLargest) {
    return std::nullopt;
  }
  return platform::Size{*width, *height};
}

std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& error) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string arg = arguments[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      if (auto eq = arg.find('='); eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
      }
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 >= arguments.size()) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      return arguments[++i];
    };
    auto flag = [&]() {
      if (inlineValue) {
        error = arg + " takes no value";
        return false;
      }
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      if (!flag()) return std::nullopt;
      options.help = true;
    } else if (arg == "--no-color") {
      if (!flag()) return std::nullopt;
      options.color = false;
    } else if (arg == "--verbose") {
      if (!flag()) return std::nullopt;
      options.verbose = true;
    } else if (arg == "--script") {
      auto v = value();
      if (!v) return std::nullopt;
      if (v->empty()) {
        error = "--script needs a file";
        return std::nullopt;
      }
      options.script = *v;
    } else if (arg == "--home") {
      auto v = value();
      if (!v) return std::nullopt;
      if (v->empty()) {
        error = "--home needs a directory";
        return std::nullopt;
      }
      options.home = *v;
    } else if (arg == "--device") {
      auto v = value();
      if (!v) return std::nullopt;
      if (*v != "iPhone" && *v != "iPad") {
        error = "--device takes iPhone or iPad, not \"" + *v + "\"";
        return std::nullopt;
      }
      options.device = *v;
    } else if (arg == "--screen") {
      auto v = value();
      if (!v) return std::nullopt;
      auto size = parseScreenSize(*v);
      if (!size) {
        error = "--screen takes WIDTHxHEIGHT in points, such as 375x667, not \"" + *v + "\"";
        return std::nullopt;
      }
      options.screen = size;
    } else if (arg == "--speed") {
      auto v = value();
      if (!v) return std::nullopt;
      auto speed = parseNumber(*v);
      constexpr double kFastest = 3600;
      if (!speed || *speed <= 0 || *speed > kFastest) {
        error = "--speed takes a number above 0 and at most 3600, not \"" + *v + "\"";
        return std::nullopt;
      }
      options.speed = *speed;
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
      // A launch argument of the platform's kind ("-VDZDebugEnabled"): the SDK reads it from the
      // process's own arguments, so it is let through untouched.
    } else if (arg == "--open-url") {
      auto v = value();
      if (!v) return std::nullopt;
      if (v->find(':') == std::string::npos) {
        error = "--open-url takes a link with a scheme, such as focus://open?utm_source=mail, not \"" + *v + "\"";
        return std::nullopt;
      }
      options.openURL = *v;
    } else if (arg == "--timezone") {
      auto v = value();
      if (!v) return std::nullopt;
      if (!isKnownTimeZone(*v)) {
        error = "--timezone takes a zone of the time-zone database, such as Asia/Seoul or UTC, not \"" + *v + "\"";
        return std::nullopt;
      }
      options.timezone = *v;
    } else if (arg == "--photos" || arg == "--notifications" || arg == "--mail" || arg == "--haptics" ||
               arg == "--torch" || arg == "--asset") {
      // What the phone has set up and what it offers: each read by its own parser.
      auto v = value();
      if (!v) return std::nullopt;
      std::string why;
      bool parsed;
      if (arg == "--haptics") {
        options.haptics = parseHapticSupport(*v, why);
        parsed = options.haptics.has_value();
      } else if (arg == "--torch") {
        options.torch = parseTorchSetup(*v, why);
        parsed = options.torch.has_value();
      } else if (arg == "--asset") {
        auto asset = parseAssetState(*v, why);
        if (asset) options.assets.push_back(std::move(*asset));
        parsed = asset.has_value();
      } else if (arg == "--photos") {
        options.photos = parsePhotoPermission(*v, why);
        parsed = options.photos.has_value();
      } else if (arg == "--notifications") {
        options.notifications = parseNotificationPermission(*v, why);
        parsed = options.notifications.has_value();
      } else {
        options.mail = parseMailSetup(*v, why);
        parsed = options.mail.has_value();
      }
      if (!parsed) {
        error = arg + " " + why;
        return std::nullopt;
      }
    } else {
      error = "unknown argument \"" + arguments[i] + "\"";
      return std::nullopt;
    }
  }
  return options;
}

bool readScriptHeader(const std::filesystem::path& script, std::vector<std::string>& arguments, std::string& error) {
  std::ifstream in(script);
  if (!in) {
    error = script.string() + ": cannot read the script";
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    if (line.compare(first, 2, "#:") != 0) {
      if (line[first] == '#') continue;
      break;
    }
    std::istringstream words(line.substr(first + 2));
    std::string word;
    while (words >> word) {
      const std::string name = word.substr(0, word.find('='));
      if (name == "--script" || name == "--home") {
        error = script.string() + ": a script header cannot set " + name;
        return false;
      }
      arguments.push_back(word);
    }
  }
  return true;
}

std::string usage() {
  return "usage: focus-timer [--script FILE] [--speed N] [--device iPhone|iPad] [--screen WxH]\n"
         "                   [--home DIR] [--photos P] [--notifications N] [--mail yes|no|fail]\n"
         "                   [--haptics H] [--torch T] [--asset NAME=STATE] [--timezone ZONE]\n"
         "                   [--open-url LINK] [--no-color] [--verbose]\n"
         "\n"
         "  --script FILE   run a scripted session on virtual time; exits 1 when an expect fails\n"
         "  --speed N       time passes N times faster in the interactive session\n"
         "  --device NAME   the device model: iPhone (face-down trigger) or iPad (play button)\n"
         "  --screen WxH    the screen in points, such as 375x667 or 414x896\n"
         "  --home DIR      the app's home (a script uses a fresh temporary one unless given)\n"
         "  --photos P      the photo library's permission: allow, limited, deny, restricted,\n"
         "                  or ask [allow|limited|deny|restricted] (not decided; answered so when asked)\n"
         "  --notifications N  allow, deny, provisional, ephemeral, or ask [allow|deny|error]\n"
         "  --mail M        yes (mail is set up), no, or fail (set up, but sending fails)\n"
         "  --haptics H     the device's haptic support: yes, no, absent, or a support level\n"
         "  --torch T       yes, no (no torch), none (no camera), locked or fail (it refuses)\n"
         "  --asset NAME=S  a sound asset missing or unreadable on the device (S: missing,\n"
         "                  unreadable, ok); may be given again for other assets\n"
         "  --timezone ZONE the phone's time zone, such as Asia/Seoul or UTC\n"
         "  --open-url LINK the app is opened with the link (a campaign link is reported)\n"
         "  --no-color      draw without colours\n"
         "  --verbose       let the app's console lines through to the terminal\n"
         "  -NAME           a launch argument for the app and its SDK, such as -VDZDebugEnabled\n";
}

}  // namespace terminal
