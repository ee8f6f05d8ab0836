#include "tools/terminal/script_runner.h"

#include <glob.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <vector>

#include "platform/foundation/calendar.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/home.h"
#include "platform/foundation/trace.h"
#include "platform/foundation/user_defaults.h"
#include "platform/foundation/value.h"
#include "platform/notifications/notification_driver.h"
#include "platform/testing/ui_driver.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/button.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/screen.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"
#include "tools/terminal/capabilities.h"
#include "tools/terminal/frame.h"
#include "tools/terminal/options.h"
#include "tools/terminal/permissions.h"
#include "tools/terminal/session.h"
#include "tools/terminal/view_renderer.h"

namespace terminal {

namespace {

using Outcome = ScriptRunner::Outcome;
using Result = ScriptRunner::Result;

// Cells of screenshots: small enough for a phone's labels, a plain 80-column log stays readable.
constexpr CellSize kScreenshotCell{8, 16};
constexpr int kScreenshotPane = 46;
constexpr double kLongestWait = 366 * 24 * 3600.0;

// The text in double quotes, for messages.
std::string inQuotes(std::string_view text) {
  std::string out(1, '"');
  out += text;
  out += '"';
  return out;
}

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::string_view nextWord(std::string_view& rest) {
  rest = trim(rest);
  const auto end = rest.find_first_of(" \t");
  std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : trim(rest.substr(end));
  return word;
}

// The rest of a line as one argument; outer double quotes keep leading or trailing spaces.
std::string argument(std::string_view rest) {
  rest = trim(rest);
  if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
  return std::string(rest);
}

Result ok() { return {}; }
Result failed(std::string message) { return {Outcome::Failed, std::move(message)}; }
Result error(std::string message) { return {Outcome::Error, std::move(message)}; }

std::optional<double> parseNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  double value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// The screens a person sees now: the one in front and, through an alert, the one beneath.
std::vector<std::shared_ptr<platform::View>> visibleRoots() {
  std::vector<std::shared_ptr<platform::ViewController>> chain;
  auto window = platform::UIDriver::keyWindow();
  if (!window) return {};
  for (auto c = window->rootViewController(); c; c = c->presentedViewController()) chain.push_back(c);
  std::vector<std::shared_ptr<platform::View>> roots;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (auto view = (*it)->viewIfLoaded()) roots.push_back(view);
    if (!dynamic_cast<platform::AlertController*>(it->get())) break;
  }
  return roots;
}

std::string textOf(const platform::View& view) {
  if (auto* l = dynamic_cast<const platform::Label*>(&view)) return l->text();
  if (auto* b = dynamic_cast<const platform::Button*>(&view)) return b->currentTitle().value_or("");
  if (auto* f = dynamic_cast<const platform::TextField*>(&view)) return f->text();
  return {};
}

std::string imageNameOf(const platform::View& view) {
  if (auto* i = dynamic_cast<const platform::ImageView*>(&view)) {
    if (auto image = i->image()) return image->name();
  }
  if (auto* b = dynamic_cast<const platform::Button*>(&view)) {
    if (auto image = b->currentImage()) return image->name();
  }
  return {};
}

std::vector<std::shared_ptr<platform::View>> visibleViews(const std::function<bool(const platform::View&)>& match) {
  std::vector<std::shared_ptr<platform::View>> found;
  for (const auto& root : visibleRoots()) {
    auto views = platform::UIDriver::findAll(
        [&](const platform::View& v) { return platform::UIDriver::isVisible(v) && match(v); }, root);
    found.insert(found.end(), views.begin(), views.end());
  }
  return found;
}

std::string visibleTexts() {
  std::string list;
  for (const auto& v : visibleViews([](const platform::View& v) { return !textOf(v).empty(); })) {
    if (!list.empty()) list += ", ";
    list += inQuotes(textOf(*v));
  }
  return list.empty() ? "none" : list;
}

std::string describeValue(const platform::Value& value) {
  if (value.isNull()) return "absent";
  if (const bool* b = value.ifBool()) return *b ? "true" : "false";
  if (const std::string* s = value.ifString()) return "\"" + *s + "\"";
  return value.description();
}

bool valueMatches(const platform::Value& value, const std::string& expected) {
  if (value.isNull()) return expected == "absent" || expected == "nil";
  if (const bool* b = value.ifBool()) {
    if (expected == "true" || expected == "YES" || expected == "1") return *b;
    if (expected == "false" || expected == "NO" || expected == "0") return !*b;
    return false;
  }
  if (const std::int64_t* i = value.ifInteger()) {
    auto n = parseNumber(expected);
    return n && *n == static_cast<double>(*i);
  }
  if (const std::uint64_t* u = value.ifUnsigned()) {
    auto n = parseNumber(expected);
    return n && *n == static_cast<double>(*u);
  }
  if (const double* d = value.ifDouble()) {
    auto n = parseNumber(expected);
    return n && std::fabs(*n - *d) <= 1e-9 * std::max(1.0, std::fabs(*d));
  }
  if (const std::string* s = value.ifString()) return *s == expected;
  return value.description() == expected;
}

std::vector<std::string> globFiles(const std::string& pattern) {
  std::filesystem::path full = pattern;
  if (full.is_relative()) full = platform::Home::path() / full;
  glob_t matches{};
  std::vector<std::string> files;
  if (::glob(full.c_str(), 0, nullptr, &matches) == 0) {
    for (std::size_t i = 0; i < matches.gl_pathc; ++i) files.emplace_back(matches.gl_pathv[i]);
  }
  ::globfree(&matches);
  return files;
}

bool hasPngName(const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".png";
}

// The size in pixels of the PNG image in `file`, when it holds one that decodes whole.
std::optional<platform::Size> pngSize(const std::filesystem::path& file) {
  static constexpr unsigned char kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  platform::Data bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < sizeof kSignature || !std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin())) {
    return std::nullopt;
  }
  auto image = platform::Image::fromPNGData(bytes);
  if (!image) return std::nullopt;
  return image->size();
}

// Files under the home matching `pattern` that hold what their name promises: a name ending in
// ".png" counts only with a whole PNG image in it. `rejected` lists the others.
std::vector<std::string> matchingFiles(const std::string& pattern, std::vector<std::string>& rejected) {
  std::vector<std::string> good;
  for (auto& file : globFiles(pattern)) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(file, ec) && hasPngName(file) && !pngSize(file)) {
      rejected.push_back(std::move(file));
    } else {
      good.push_back(std::move(file));
    }
  }
  return good;
}

std::string listed(const std::vector<std::string>& files) {
  std::string list;
  for (const auto& file : files) {
    if (!list.empty()) list += ", ";
    list += std::filesystem::path(file).lexically_relative(platform::Home::path()).string();
  }
  return list;
}

// A colour by name ("black", "white", "gray", "darkGray", "lightGray", "red", "blue", "clear") or
// as "#rrggbb" or "#rrggbbaa"; `withAlpha` tells whether the text named the alpha.
std::optional<platform::Color> parseColor(std::string_view text, bool& withAlpha) {
  using platform::Color;
  static const std::pair<std::string_view, Color> kNamed[] = {
      {"black", Color::blackColor()},         {"white", Color::whiteColor()},
      {"gray", Color::grayColor()},           {"grey", Color::grayColor()},
      {"darkGray", Color::darkGrayColor()},   {"lightGray", Color::lightGrayColor()},
      {"red", Color::redColor()},             {"blue", Color::systemBlueColor()},
      {"clear", Color::clearColor()},
  };
  withAlpha = text == "clear";
  for (const auto& [name, color] : kNamed) {
    if (text == name) return color;
  }
  if (text.size() != 7 && text.size() != 9) return std::nullopt;
  if (text.front() != '#') return std::nullopt;
  double channels[4] = {0, 0, 0, 1};
  for (std::size_t i = 0; i * 2 + 1 < text.size(); ++i) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data() + 1 + i * 2, text.data() + 3 + i * 2, value, 16);
    if (ec != std::errc() || end != text.data() + 3 + i * 2) return std::nullopt;
    channels[i] = value / 255.0;
  }
  withAlpha = text.size() == 9;
  return Color{channels[0], channels[1], channels[2], channels[3]};
}

std::string hexColor(const platform::Color& c) {
  auto channel = [](double v) { return static_cast<unsigned>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
  return platform::format("#%02x%02x%02x%02x", channel(c.red), channel(c.green), channel(c.blue), channel(c.alpha));
}

// The colour of a view's text, when it shows one.
std::optional<platform::Color> textColorOf(const platform::View& view) {
  if (auto* l = dynamic_cast<const platform::Label*>(&view)) return l->textColor();
  if (auto* b = dynamic_cast<const platform::Button*>(&view)) return b->currentTitleColor();
  if (auto* f = dynamic_cast<const platform::TextField*>(&view)) return f->textColor();
  return std::nullopt;
}

// "HH:MM" or "HH:MM:SS" of the local day: seconds since its midnight.
std::optional<double> parseClockTime(std::string_view text) {
  auto seconds = parseDuration(text);
  const auto colons = std::count(text.begin(), text.end(), ':');
  if (!seconds || colons == 0) return std::nullopt;
  // parseDuration reads "20:31" as minutes and seconds; a clock time is hours and minutes.
  const double time = colons == 1 ? *seconds * 60 : *seconds;
  if (time >= 24 * 3600) return std::nullopt;
  return time;
}

std::string describeEvents(const std::vector<platform::TraceEvent>& events) {
  if (events.empty()) return "none";
  std::string list;
  const std::size_t first = events.size() > 12 ? events.size() - 12 : 0;
  if (first > 0) list += "..., ";
  for (std::size_t i = first; i < events.size(); ++i) {
    if (i > first) list += ", ";
    list += events[i].kind + (events[i].detail.empty() ? "" : " " + events[i].detail);
  }
  return list;
}

}  // namespace

std::optional<double> parseDuration(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::nullopt;
  std::optional<double> seconds;
  if (text.find(':') != std::string_view::npos) {
    // m:ss or h:mm:ss; every part a whole number, the later ones below 60.
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
      const auto colon = text.find(':', start);
      parts.push_back(text.substr(start, colon == std::string_view::npos ? colon : colon - start));
      if (colon == std::string_view::npos) break;
      start = colon + 1;
    }
    if (parts.size() > 3) return std::nullopt;
    double total = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      const auto& part = parts[i];
      if (part.empty() || !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
      }
      auto value = parseNumber(part);
      if (!value || (i > 0 && (*value >= 60 || part.size() != 2))) return std::nullopt;
      total = total * 60 + *value;
    }
    seconds = total;
  } else {
    double unit = 1;
    std::string_view number = text;
    switch (text.back()) {
      case 's':
        number.remove_suffix(1);
        break;
      case 'm':
        unit = 60;
        number.remove_suffix(1);
        break;
      case 'h':
        unit = 3600;
        number.remove_suffix(1);
        break;
      default:
        break;
    }
    auto value = parseNumber(number);
    if (!value) return std::nullopt;
    seconds = *value * unit;
  }
  if (!seconds || *seconds < 0 || *seconds > kLongestWait) return std::nullopt;
  return seconds;
}

ScriptRunner::ScriptRunner(Session& session, std::ostream& out) : session_(session), out_(out) { mark(); }

void ScriptRunner::mark() { traceMark_ = platform::Trace::recordedCount(); }

void ScriptRunner::screenshot(std::ostream& out) {
  LoopState loop;
  Grid frame = composeFrame(session_, kScreenshotCell, kScreenshotPane, 0, loop, false);
  out << "-- screenshot at +" << formatElapsed(session_.elapsed()) << " --\n" << frame.plainText();
}

ScriptRunner::Result ScriptRunner::run(std::string_view line) {
  line = trim(line);
  if (line.empty() || line.front() == '#') return ok();
  std::string_view rest = line;
  const std::string command(nextWord(rest));
  std::string why;
  // Something that happened may still come with a note (a disabled control, a refused key).
  auto done = [&](bool happened) { return happened ? Result{Outcome::Ok, why} : error(why); };
  auto noArguments = [&]() -> std::optional<Result> {
    if (!rest.empty()) return error(command + " takes no arguments");
    return std::nullopt;
  };

  try {
    if (command == "facedown" || command == "faceup" || command == "lift") {
      if (auto e = noArguments()) return *e;
      session_.setPose(command == "facedown" ? Pose::FaceDown : command == "faceup" ? Pose::FaceUp : Pose::Lifted);
      return ok();
    }
    if (command == "upright" || command == "leftside" || command == "rightside" || command == "upsidedown") {
      if (auto e = noArguments()) return *e;
      session_.setPose(command == "upright"    ? Pose::Upright
                       : command == "leftside"  ? Pose::LeftSide
                       : command == "rightside" ? Pose::RightSide
                                                : Pose::UpsideDown);
      return ok();
    }
    if (command == "pose") {
      double reading[3];
      for (double& axis : reading) {
        auto value = parseNumber(nextWord(rest));
        if (!value || std::fabs(*value) > 100) return error("pose takes three accelerations in g: pose 0 -0.5 0.87");
        axis = *value;
      }
      if (!rest.empty()) return error("pose takes three accelerations in g: pose 0 -0.5 0.87");
      session_.setRawPose(reading[0], reading[1], reading[2]);
      return ok();
    }
    if (command == "cover" || command == "uncover") {
      if (auto e = noArguments()) return *e;
      session_.setSensorCovered(command == "cover");
      return ok();
    }
    if (command == "background" || command == "foreground") {
      if (auto e = noArguments()) return *e;
      if (command == "background") {
        session_.enterBackground();
      } else {
        session_.enterForeground();
      }
      return ok();
    }
    if (command == "open-url") {
      const std::string url = argument(rest);
      if (url.empty()) return error("open-url needs a link, such as focus://open?utm_source=mail");
      session_.openURL(url);
      return ok();
    }
    if (command == "purchase") {
      const std::string product(nextWord(rest));
      const std::string price = argument(rest);
      if (product.empty() || price.empty()) return error("purchase needs a product and its price, such as coins 0.99");
      session_.purchase(product, price);
      return ok();
    }
    if (command == "wait") {
      auto seconds = parseDuration(rest);
      if (!seconds)
        return error("wait takes a duration such as 90, 1.5, 5m or 25:00, not \"" + std::string(rest) + "\"");
      session_.advance(*seconds);
      return ok();
    }
    if (command == "tap") {
      std::string target = argument(rest);
      if (target.empty()) return error("tap needs a control: its number, identifier or title");
      return done(session_.tap(target, why));
    }
    if (command == "swipe") {
      // The direction is the last word, so the target may have spaces.
      std::string all = argument(rest);
      const auto space = all.find_last_of(' ');
      if (space == std::string::npos) return error("swipe needs a view and a direction: swipe introImageView down");
      return done(session_.swipe(trim(std::string_view(all).substr(0, space)), all.substr(space + 1), why));
    }
    if (command == "dismiss") {
      if (auto e = noArguments()) return *e;
      return done(session_.dismissSheet(why));
    }
    if (command == "playpause") {
      if (auto e = noArguments()) return *e;
      return done(session_.playPause(why));
    }
    if (command == "reset") {
      if (auto e = noArguments()) return *e;
      return done(session_.openResetSheet(why));
    }
    if (command == "choose") {
      std::string title = argument(rest);
      if (title.empty()) return error("choose needs the title of an action");
      return done(session_.choose(title, why));
    }
    if (command == "type") {
      return done(session_.type(argument(rest), why));
    }
    if (command == "paste" || command == "replace") {
      if (command == "replace" && !session_.selectAll(why)) return error(why);
      return done(session_.paste(argument(rest), why));
    }
    if (command == "backspace") {
      int count = 1;
      if (!rest.empty()) {
        auto n = parseNumber(rest);
        if (!n || *n < 1 || *n > 10000 || std::floor(*n) != *n) return error("backspace takes a count of keystrokes");
        count = static_cast<int>(*n);
      }
      return done(session_.deleteBackward(count, why));
    }
    if (command == "selectall") {
      if (auto e = noArguments()) return *e;
      return done(session_.selectAll(why));
    }
    if (command == "haptics") {
      auto support = parseHapticSupport(rest, why);
      if (!support) return error(command + " " + why);
      session_.setHapticSupport(support);
      return ok();
    }
    if (command == "torch") {
      auto setup = parseTorchSetup(rest, why);
      if (!setup) return error(command + " " + why);
      session_.setTorchSetup(*setup);
      return ok();
    }
    if (command == "asset") {
      auto state = parseAssetState(rest, why);
      if (!state) return error(command + " " + why);
      session_.setAssetState(*state);
      return ok();
    }
    if (command == "timezone") {
      const std::string zone(rest);
      if (!isKnownTimeZone(zone)) return error("timezone takes a zone such as Asia/Seoul or UTC, not \"" + zone + "\"");
      session_.setTimeZone(zone);
      return ok();
    }
    if (command == "return") {
      if (auto e = noArguments()) return *e;
      return done(session_.pressReturn(why));
    }
    if (command == "notifications") {
      auto permission = parseNotificationPermission(rest, why);
      if (!permission) return error(command + " " + why);
      session_.setNotificationPermission(*permission);
      return ok();
    }
    if (command == "photos") {
      auto permission = parsePhotoPermission(rest, why);
      if (!permission) return error(command + " " + why);
      session_.setPhotoPermission(*permission);
      return ok();
    }
    if (command == "mail") {
      auto setup = parseMailSetup(rest, why);
      if (!setup) return error(command + " " + why);
      session_.setMailSetup(*setup);
      return ok();
    }
    if (command == "press") {
      std::string target = argument(rest);
      if (target.empty()) return error("press needs a control: its number, identifier or title");
      return done(session_.pressBegin(target, why));
    }
    if (command == "release") {
      if (auto e = noArguments()) return *e;
      return done(session_.pressEnd(why));
    }
    if (command == "longpress") {
      // The duration is the last word, so the target may have spaces.
      std::string all = argument(rest);
      const auto space = all.find_last_of(' ');
      auto seconds = space == std::string::npos ? std::nullopt : parseDuration(all.substr(space + 1));
      if (!seconds) return error("longpress needs a control and how long to hold it: longpress focusUpButton 1.5");
      if (!session_.pressBegin(trim(std::string_view(all).substr(0, space)), why)) return error(why);
      session_.advance(*seconds);
      return done(session_.pressEnd(why));
    }
    if (command == "mark") {
      if (auto e = noArguments()) return *e;
      mark();
      return ok();
    }
    if (command == "screenshot") {
      if (auto e = noArguments()) return *e;
      screenshot(out_);
      return ok();
    }
    if (command == "echo") {
      out_ << argument(rest) << "\n";
      return ok();
    }
    if (command == "quit") {
      if (auto e = noArguments()) return *e;
      return {Outcome::Quit, {}};
    }
    if (command == "expect") {
      std::string_view what = nextWord(rest);
      Result result = expect(what, rest);
      if (result.outcome == Outcome::Ok) ++expectsPassed_;
      return result;
    }
  } catch (const platform::Exception& e) {
    return error("the app raised " + e.name() + ": " + e.reason());
  } catch (const std::exception& e) {
    return error(std::string("the command failed: ") + e.what());
  }
  return error("unknown command \"" + command + "\"");
}

ScriptRunner::Result ScriptRunner::expect(std::string_view what, std::string_view rest) {
  if (what == "label") {
    const std::string text = argument(rest);
    if (text.empty()) return error("expect label needs a text");
    auto found = visibleViews([&](const platform::View& v) { return textOf(v) == text; });
    if (found.empty()) return failed("no visible label shows \"" + text + "\" (shown: " + visibleTexts() + ")");
    return ok();
  }
  if (what == "shown" || what == "hidden") {
    const std::string name = argument(rest);
    if (name.empty()) return error("expect " + std::string(what) + " needs an identifier, a text or an image name");
    auto found = visibleViews([&](const platform::View& v) {
      return v.accessibilityIdentifier() == name || textOf(v) == name || imageNameOf(v) == name;
    });
    if (what == "shown" && found.empty()) return failed("nothing visible is called \"" + name + "\"");
    if (what == "hidden" && !found.empty()) return failed("\"" + name + "\" is visible");
    return ok();
  }
  if (what == "enabled" || what == "disabled" || what == "color" || what == "alpha" || what == "image-of") {
    return expectOfView(what, rest);
  }
  if (what == "pending") return expectPending(rest);
  if (what == "card" || what == "card-texts") return expectCard(what, rest);
  if (what == "screen") {
    const std::string name = argument(rest);
    if (name.empty()) return error("expect screen needs a name");
    if (!session_.isScreenNamed(name)) return failed("the screen in front is " + session_.screenName());
    return ok();
  }
  if (what == "render") {
    const std::string text = argument(rest);
    if (text.empty()) return error("expect render needs a text");
    auto window = platform::UIDriver::keyWindow();
    if (!window) return failed("nothing is drawn: no window");
    Grid grid = renderViewTree(*window, platform::Screen::main().bounds().size, kScreenshotCell, session_.tappables());
    if (grid.plainText().find(text) == std::string::npos) {
      return failed("the drawn screen does not show \"" + text + "\"");
    }
    return ok();
  }
  if (what == "trace" || what == "traces") {
    std::optional<long> count;
    if (what == "traces") {
      std::string_view n = nextWord(rest);
      auto value = parseNumber(n);
      if (!value || *value < 0 || std::floor(*value) != *value) {
        return error("expect traces needs a count first: expect traces 3 vibrate");
      }
      count = static_cast<long>(*value);
    }
    const std::string kind(nextWord(rest));
    if (kind.empty()) return error("expect " + std::string(what) + " needs an event kind");
    const std::string detail = argument(rest);
    const auto since = platform::Trace::eventsSince(traceMark_);
    const long matching = std::count_if(since.begin(), since.end(), [&](const platform::TraceEvent& e) {
      return e.kind == kind && (detail.empty() || e.detail.find(detail) != std::string::npos);
    });
    const std::string event = kind + (detail.empty() ? "" : " \"" + detail + "\"");
    if (count && matching != *count) {
      return failed(std::to_string(matching) + " " + event + " events since the mark, not " + std::to_string(*count) +
                    " (since the mark: " + describeEvents(since) + ")");
    }
    if (!count && matching == 0) {
      return failed("no " + event + " event since the mark (since the mark: " + describeEvents(since) + ")");
    }
    return ok();
  }
  if (what == "default") {
    const std::string key(nextWord(rest));
    const std::string expected = argument(rest);
    if (key.empty() || expected.empty()) return error("expect default needs a key and a value");
    platform::Value value = platform::UserDefaults::standard()->objectForKey(key);
    if (!valueMatches(value, expected)) return failed(key + " is " + describeValue(value) + ", not " + expected);
    return ok();
  }
  if (what == "file" || what == "files") {
    std::optional<std::size_t> count;
    if (what == "files") {
      auto value = parseNumber(nextWord(rest));
      if (!value || *value < 0 || std::floor(*value) != *value || *value > 1e6) {
        return error("expect files needs a count first: expect files 1 Photos/VOZ/*.png");
      }
      count = static_cast<std::size_t>(*value);
    }
    const std::string pattern = argument(rest);
    if (pattern.empty()) return error("expect " + std::string(what) + " needs a path or pattern");
    std::vector<std::string> rejected;
    auto files = matchingFiles(pattern, rejected);
    const std::string notPng = rejected.empty() ? "" : " (not a PNG image: " + listed(rejected) + ")";
    if (count && files.size() != *count) {
      return failed(std::to_string(files.size()) + " files match " + pattern + ", not " + std::to_string(*count) +
                    (files.empty() ? "" : " (" + listed(files) + ")") + notPng);
    }
    if (!count && files.empty()) {
      return failed("no file matches " + pattern + " under " + platform::Home::path().string() + notPng);
    }
    return ok();
  }
  if (what == "image") {
    std::string all = argument(rest);
    const auto space = all.find_last_of(' ');
    auto size = space == std::string::npos ? std::nullopt : parseScreenSize(all.substr(space + 1));
    if (!size) return error("expect image needs a pattern and a size in pixels: expect image Photos/*/*.png 1000x1465");
    const std::string pattern(trim(std::string_view(all).substr(0, space)));
    std::string seen;
    for (const auto& file : globFiles(pattern)) {
      auto found = pngSize(file);
      if (found && found->width == size->width && found->height == size->height) return ok();
      if (!seen.empty()) seen += ", ";
      seen += listed({file}) + (found ? platform::format(" %gx%g", found->width, found->height) : " not a PNG");
    }
    return failed("no PNG image of " + all.substr(space + 1) + " matches " + pattern +
                  (seen.empty() ? "" : " (found " + seen + ")"));
  }
  return error("unknown expectation \"" + std::string(what) +
               "\" (label, shown, hidden, enabled, disabled, color, alpha, image-of, screen, render, trace, traces, "
               "pending, card, card-texts, default, file, files, image)");
}

ScriptRunner::Result ScriptRunner::expectOfView(std::string_view what, std::string_view rest) {
  // The last word is the value; the view's name is what comes before it and may have spaces.
  std::string all = argument(rest);
  std::string target = all;
  std::string value;
  if (what != "enabled" && what != "disabled") {
    const auto space = all.find_last_of(' ');
    if (space == std::string::npos) {
      return error("expect " + std::string(what) + " needs a view and a value: expect " + std::string(what) +
                   (what == "color" ? " timerLabel black" : what == "alpha" ? " settingButton 0.5" : " dot1 dot_on"));
    }
    target = std::string(trim(std::string_view(all).substr(0, space)));
    value = all.substr(space + 1);
  }
  if (target.empty()) return error("expect " + std::string(what) + " needs an identifier, a text or an image name");
  auto found = visibleViews([&](const platform::View& v) {
    return v.accessibilityIdentifier() == target || textOf(v) == target || imageNameOf(v) == target;
  });
  if (found.empty()) return failed("nothing visible is called \"" + target + "\"");
  const platform::View& view = *found.front();
  if (what == "enabled" || what == "disabled") {
    if (!isControl(view)) return failed(inQuotes(target) + " is no control");
    const bool disabled = isDisabled(view);
    if ((what == "disabled") != disabled) return failed(inQuotes(target) + " is " + (disabled ? "disabled" : "enabled"));
    return ok();
  }
  if (what == "color") {
    bool withAlpha = false;
    auto expected = parseColor(value, withAlpha);
    if (!expected) return error("a colour is a name (black, white, gray, ...) or #rrggbb[aa], not \"" + value + "\"");
    auto color = textColorOf(view);
    if (!color) return failed(inQuotes(target) + " shows no text to have a colour");
    constexpr double kSlack = 0.6 / 255;
    auto near = [&](double a, double b) { return std::fabs(a - b) <= kSlack; };
    if (!near(color->red, expected->red) || !near(color->green, expected->green) || !near(color->blue, expected->blue) ||
        (withAlpha && !near(color->alpha, expected->alpha))) {
      return failed(inQuotes(target) + "'s text is " + hexColor(*color) + ", not " + value);
    }
    return ok();
  }
  if (what == "alpha") {
    auto expected = parseNumber(value);
    if (!expected || *expected < 0 || *expected > 1) return error("an alpha is a number from 0 to 1, not \"" + value + "\"");
    if (std::fabs(view.alpha() - *expected) > 0.005) {
      return failed(inQuotes(target) + "'s alpha is " + platform::format("%g", view.alpha()) + ", not " + value);
    }
    return ok();
  }
  const std::string name = imageNameOf(view);
  if (name != value) {
    return failed(inQuotes(target) + (name.empty() ? " shows no picture" : " shows ‹" + name + "›") + ", not ‹" +
                  value + "›");
  }
  return ok();
}

ScriptRunner::Result ScriptRunner::expectPending(std::string_view rest) {
  const std::string identifier(nextWord(rest));
  if (identifier.empty()) {
    return error("expect pending needs an identifier (or none): expect pending alert in 5:00 \"Break is over\"");
  }
  auto pending = platform::NotificationDriver::scheduled();
  auto describe = [&]() {
    std::string list;
    for (const auto& p : pending) {
      if (!list.empty()) list += "; ";
      list += p.identifier + " at " + platform::Calendar::format(p.fireDate, "yyyy-MM-dd HH:mm:ss") + " \"" + p.title +
              "\"" + (p.body.empty() ? "" : " \"" + p.body + "\"");
    }
    return list.empty() ? std::string("none") : list;
  };
  if (identifier == "none") {
    if (!rest.empty()) return error("expect pending none takes nothing more");
    if (!pending.empty()) return failed("pending: " + describe());
    return ok();
  }
  std::optional<platform::Date> when;
  const platform::Date now = platform::Date::now();
  for (;;) {
    std::string_view probe = rest;
    const std::string_view word = nextWord(probe);
    if (word != "at" && word != "in") break;
    const std::string_view time = nextWord(probe);
    rest = probe;
    if (word == "in") {
      auto seconds = parseDuration(time);
      if (!seconds) return error("\"in\" takes a duration such as 5:00 or 300, not \"" + std::string(time) + "\"");
      when = now.addingTimeInterval(*seconds);
    } else {
      auto clock = parseClockTime(time);
      if (!clock) return error("\"at\" takes a time of day such as 20:31 or 20:31:40, not \"" + std::string(time) + "\"");
      // The next such time of day, today or tomorrow.
      platform::Date at = platform::Calendar::startOfDay(now).addingTimeInterval(*clock);
      if (at.timeIntervalSince(now) < 0) at = platform::Calendar::startOfDay(now.addingTimeInterval(86400)).addingTimeInterval(*clock);
      when = at;
    }
  }
  const std::string text = argument(rest);
  for (const auto& p : pending) {
    if (p.identifier != identifier) continue;
    // Fire dates are compared to the second, as the pane shows them.
    if (when && std::fabs(p.fireDate.timeIntervalSince(*when)) >= 1) continue;
    if (!text.empty() && p.title.find(text) == std::string::npos && p.body.find(text) == std::string::npos) continue;
    return ok();
  }
  return failed("no pending notification " + inQuotes(identifier) +
                (when ? " at " + platform::Calendar::format(*when, "yyyy-MM-dd HH:mm:ss") : "") +
                (text.empty() ? "" : " showing " + inQuotes(text)) + " (pending: " + describe() + ")");
}

ScriptRunner::Result ScriptRunner::expectCard(std::string_view what, std::string_view rest) {
  auto saved = session_.lastSavedImage();
  if (!saved) return failed("no image has been saved to the photo library");
  std::string shows;
  for (const auto& text : saved->texts) shows += (shows.empty() ? "" : ", ") + inQuotes(text);
  if (shows.empty()) shows = "no text";
  const std::string where = listed({saved->file.string()});
  if (what == "card-texts") {
    auto n = parseNumber(argument(rest));
    if (!n || *n < 0 || std::floor(*n) != *n) return error("expect card-texts needs a count: expect card-texts 2");
    if (static_cast<double>(saved->texts.size()) != *n) {
      return failed(where + " shows " + std::to_string(saved->texts.size()) + " texts, not " + argument(rest) + " (" +
                    shows + ")");
    }
    return ok();
  }
  const std::string text = argument(rest);
  if (text.empty()) return error("expect card needs the text a line of the card shows");
  if (std::find(saved->texts.begin(), saved->texts.end(), text) == saved->texts.end()) {
    return failed(where + " does not show " + inQuotes(text) + " (it shows " + shows + ")");
  }
  return ok();
}

int ScriptRunner::runFile(const std::filesystem::path& file, std::ostream& err) {
  std::ifstream in(file);
  if (!in) {
    err << file.string() << ": cannot read the script\n";
    return 2;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    Result result = run(line);
    if (result.outcome == Outcome::Ok) {
      if (!result.message.empty()) out_ << file.string() << ":" << number << ": note: " << result.message << "\n";
      continue;
    }
    if (result.outcome == Outcome::Quit) break;
    const bool expectation = result.outcome == Outcome::Failed;
    err << file.string() << ":" << number << ": " << std::string(trim(line)) << "\n  "
        << (expectation ? "failed: " : "error: ") << result.message << "\n";
    screenshot(err);
    auto console = session_.consoleLines();
    if (!console.empty()) {
      err << "-- last console lines --\n";
      for (std::size_t i = console.size() > 10 ? console.size() - 10 : 0; i < console.size(); ++i) {
        err << console[i] << "\n";
      }
    }
    return expectation ? 1 : 2;
  }
  return 0;
}

}  // namespace terminal
