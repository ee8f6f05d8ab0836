#include "tools/terminal/frame.h"

#include <cmath>
#include <ctime>

#include "platform/foundation/date.h"
#include "platform/foundation/format.h"
#include "platform/foundation/trace.h"
#include "platform/mail/mail_compose_view_controller.h"
#include "platform/media/media_driver.h"
#include "platform/motion/motion_driver.h"
#include "platform/notifications/notification_driver.h"
#include "platform/notifications/user_notification_center.h"
#include "platform/photos/photo_library.h"
#include "platform/testing/ui_driver.h"
#include "platform/ui/device.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/screen.h"
#include "platform/ui/window.h"
#include "tools/terminal/capabilities.h"
#include "tools/terminal/session.h"

namespace terminal {

namespace {

std::string localTime(platform::Date date, const char* pattern) {
  std::time_t seconds = static_cast<std::time_t>(std::floor(date.timeIntervalSince1970()));
  std::tm parts{};
  localtime_r(&seconds, &parts);
  char buffer[64];
  std::size_t n = std::strftime(buffer, sizeof buffer, pattern, &parts);
  return std::string(buffer, n);
}

std::string authorizationName(platform::AuthorizationStatus status) {
  switch (status) {
    case platform::AuthorizationStatus::NotDetermined:
      return "not asked";
    case platform::AuthorizationStatus::Denied:
      return "denied";
    case platform::AuthorizationStatus::Authorized:
      return "allowed";
    case platform::AuthorizationStatus::Provisional:
      return "provisional";
    case platform::AuthorizationStatus::Ephemeral:
      return "ephemeral";
  }
  return "?";
}

std::string photoStatusName(platform::PhotoAuthorizationStatus status) {
  switch (status) {
    case platform::PhotoAuthorizationStatus::NotDetermined:
      return "not asked";
    case platform::PhotoAuthorizationStatus::Restricted:
      return "restricted";
    case platform::PhotoAuthorizationStatus::Denied:
      return "denied";
    case platform::PhotoAuthorizationStatus::Authorized:
      return "allowed";
    case platform::PhotoAuthorizationStatus::Limited:
      return "limited";
  }
  return "?";
}

// A control that is a picture also shows which one: a switch's picture tells whether it is on.
std::string controlLine(const Tappable& control) {
  // A disabled control has no number: nothing taps it.
  std::string line = "  " + (control.number > 0 ? std::to_string(control.number) : std::string("-")) + " " + control.name;
  // Titles such as "+" repeat on a screen; the identifier tells them apart.
  if (const auto& id = control.view->accessibilityIdentifier(); !id.empty() && id != control.name) {
    line += " (" + id + ")";
  }
  if (auto* view = dynamic_cast<const platform::ImageView*>(control.view.get())) {
    if (auto image = view->image(); image && !image->name().empty() && image->name() != control.name) {
      line += " ‹" + image->name() + "›";
    }
  }
  return line;
}

// A notification waiting for its time: when, how long until then, and what it will show.
std::string pendingLine(const platform::NotificationDriver::Scheduled& p, platform::Date now) {
  std::string line = p.identifier + " at " + localTime(p.fireDate, "%H:%M:%S") + " (in " +
                     formatElapsed(p.fireDate.timeIntervalSince(now)) + ")";
  if (!p.title.empty()) line += " \"" + p.title + "\"";
  if (!p.body.empty()) line += " \"" + p.body + "\"";
  if (!p.sound.empty()) line += " ♪" + p.sound;
  return line;
}

std::string sizeText(double points) {
  return std::fabs(points - std::round(points)) < 1e-9 ? std::to_string(static_cast<long>(std::lround(points)))
                                                       : platform::format("%g", points);
}

}  // namespace

std::string formatElapsed(double seconds) {
  long total = static_cast<long>(std::floor(std::max(seconds, 0.0)));
  return platform::format("%02ld:%02ld:%02ld", total / 3600, (total / 60) % 60, total % 60);
}

std::vector<std::string> paneLines(const Session& session, const std::vector<Tappable>& controls, const LoopState& loop,
                                   int width, int rows) {
  std::vector<std::string> lines;
  const platform::Date now = platform::Date::now();
  lines.push_back("Time    " + localTime(now, "%Y-%m-%d %H:%M:%S %Z"));
  std::string run = "Elapsed " + formatElapsed(session.elapsed());
  if (loop.interactive) run += loop.paused ? "  paused" : "  x" + platform::format("%g", loop.speed);
  lines.push_back(run);
  lines.push_back(std::string("App     ") + (session.isInBackground() ? "in the background" : "in front"));
  lines.push_back("Screen  " + session.screenName());

  auto& device = platform::Device::current();
  lines.push_back("Pose    " + session.poseDescription());
  lines.push_back(std::string("Sensor  ") + (device.isSensorCovered() ? "covered" : "clear") +
                  (device.isProximityMonitoringEnabled() ? ", monitored" : ", not monitored"));
  const int listeners = platform::MotionDriver::activeManagerCount();
  lines.push_back("Motion  " + std::to_string(listeners) + (listeners == 1 ? " listener" : " listeners") +
                  platform::format(", %g Hz", 1 / platform::MotionDriver::repeatInterval()));

  std::string noise;
  std::string sounds;
  for (const auto& playing : platform::MediaDriver::nowPlaying()) {
    std::string& into = playing.looping ? noise : sounds;
    if (!into.empty()) into += ", ";
    into += playing.name.empty() ? "(unnamed)" : playing.name;
    if (playing.volume < 0.999f) into += platform::format(" %.1f", static_cast<double>(playing.volume));
  }
  lines.push_back("Noise   " + (noise.empty() ? std::string("none") : noise));
  if (!sounds.empty()) lines.push_back("Sound   " + sounds);
  std::string torch = "Torch   ";
  switch (session.torchSetup()) {
    case TorchSetup::No:
      torch += "none on this device";
      break;
    case TorchSetup::None:
      torch += "no camera on this device";
      break;
    default:
      torch += platform::MediaDriver::torchIsOn()
                   ? platform::format("on %.1f", static_cast<double>(platform::MediaDriver::torchLevel()))
                   : "off";
      if (session.torchSetup() == TorchSetup::Locked) torch += ", lock refused";
      if (session.torchSetup() == TorchSetup::Fails) torch += ", refuses to light";
  }
  lines.push_back(torch);
  const auto& haptics = session.hapticSupport();
  lines.push_back("Haptics " + (haptics ? describe(*haptics) : std::string("as the device has it")));
  if (!session.assetStates().empty()) {
    std::string assets = "Assets  ";
    for (const auto& a : session.assetStates()) {
      if (assets.size() > 8) assets += ", ";
      assets += a.name + " " + std::string(assetFaultName(a.fault));
    }
    lines.push_back(assets);
  }

  const auto status = platform::UserNotificationCenter::current()->notificationSettings().authorizationStatus;
  auto pending = platform::NotificationDriver::scheduled();
  std::string notify = "Notify  " + authorizationName(status);
  if (status == platform::AuthorizationStatus::NotDetermined) {
    notify += " (answer: " + std::string(decisionName(session.notificationPermission().answer)) + ")";
  }
  lines.push_back(notify);
  for (const auto& p : pending) lines.push_back("        pending " + pendingLine(p, now));

  const auto photoStatus =
      platform::PhotoLibrary::authorizationStatusForAccessLevel(platform::PhotoAccessLevel::ReadWrite);
  std::string photos = "Photos  " + photoStatusName(photoStatus);
  if (photoStatus == platform::PhotoAuthorizationStatus::NotDetermined) {
    photos += " (answer: " + std::string(decisionName(session.photoPermission().answer)) + ")";
  }
  lines.push_back(photos);
  auto events = platform::Trace::events();
  for (auto it = events.rbegin(); it != events.rend(); ++it) {
    if (it->kind == "photos") {
      lines.push_back("        " + it->detail);
      break;
    }
  }
  if (auto saved = session.lastSavedImage(); saved && !saved->texts.empty()) {
    std::string shows;
    for (const auto& text : saved->texts) shows += (shows.empty() ? "" : " / ") + text;
    lines.push_back("        it shows " + shows);
  }

  std::string mail = "Mail    ";
  switch (session.mailSetup()) {
    case MailSetup::Yes:
      mail += "set up";
      break;
    case MailSetup::No:
      mail += "not set up";
      break;
    case MailSetup::Failing:
      mail += "set up, sending fails";
      break;
  }
  if (const auto sent = platform::MailDriver::sentMails().size(); sent > 0) {
    mail += ", " + std::to_string(sent) + " sent";
  }
  lines.push_back(mail);

  if (session.isPressing()) {
    lines.push_back("Finger  on " + session.pressedName() + platform::format(", %.1f s", session.pressedFor()));
  }
  if (auto console = session.consoleLines(); !console.empty()) lines.push_back("Console " + console.back());

  lines.push_back("");
  lines.push_back("Controls");
  auto disabled = disabledControls(session.isInBackground() ? nullptr : platform::UIDriver::keyWindow());
  if (controls.empty() && disabled.empty()) lines.push_back("  (none)");
  for (const auto& c : controls) lines.push_back(controlLine(c));
  for (const auto& c : disabled) lines.push_back(controlLine(c) + " disabled");

  lines.push_back("");
  lines.push_back("Trace");
  const int room = rows - static_cast<int>(lines.size());
  if (room > 0) {
    const std::size_t shown = std::min(events.size(), static_cast<std::size_t>(room));
    if (shown == 0) lines.push_back("  (nothing yet)");
    for (std::size_t i = events.size() - shown; i < events.size(); ++i) {
      const auto& e = events[i];
      lines.push_back("  " + localTime(e.date, "%H:%M:%S") + " " + e.kind + (e.detail.empty() ? "" : " " + e.detail));
    }
  }
  if (static_cast<int>(lines.size()) > rows) lines.resize(static_cast<std::size_t>(std::max(rows, 0)));
  for (auto& line : lines) line = truncateToWidth(line, width);
  return lines;
}

Grid composeFrame(const Session& session, CellSize cell, int paneWidth, int minRows, const LoopState& loop,
                  bool color) {
  const platform::Rect bounds = platform::Screen::main().bounds();
  auto window = platform::UIDriver::keyWindow();
  auto controls = session.tappables();
  Grid phone = window ? renderViewTree(*window, bounds.size, cell, controls)
                      : Grid(static_cast<int>(std::ceil(bounds.width() / cell.width)),
                             static_cast<int>(std::ceil(bounds.height() / cell.height)));

  const int boxCols = phone.cols() + 2;
  const int boxRows = phone.rows() + 2;
  const int cols = boxCols + (paneWidth > 0 ? paneWidth + 2 : 0);
  const int rows = std::max(boxRows, minRows);
  Grid frame(cols, rows);

  Style border;
  if (color) border.fg = Rgb{120, 120, 140};
  std::string top = "┌";
  std::string title(1, ' ');
  title += platform::Device::current().model();
  title += ' ';
  title += sizeText(bounds.width());
  title += 'x';
  title += sizeText(bounds.height());
  title += ' ';
  const bool background = session.isInBackground();
  if (background) title += "- app in the background ";
  title = truncateToWidth(title, std::max(boxCols - 4, 0));
  top += "─" + title;
  for (int c = 2 + displayWidth(title); c < boxCols - 1; ++c) top += "─";
  top += "┐";
  frame.put(0, 0, top, border);
  std::string bottom = "└";
  for (int c = 1; c < boxCols - 1; ++c) bottom += "─";
  bottom += "┘";
  frame.put(0, boxRows - 1, bottom, border);
  for (int r = 1; r < boxRows - 1; ++r) {
    frame.put(0, r, "│", border);
    frame.put(boxCols - 1, r, "│", border);
  }
  if (background) {
    // The app is not in front: its screen stays drawn, faded, as a reminder of where it was.
    phone.restyle(0, 0, phone.cols(), phone.rows(), [](Style& s) { s.dim = true; });
  }
  frame.blit(phone, 1, 1);
  if (!color) {
    // Without colours the glyphs alone must tell the story.
    frame.restyle(0, 0, cols, rows, [](Style& s) { s = Style{}; });
  }

  if (paneWidth > 0) {
    auto lines = paneLines(session, controls, loop, paneWidth, rows);
    Style heading;
    heading.bold = color;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const bool isHeading = lines[i] == "Controls" || lines[i] == "Trace";
      frame.put(boxCols + 2, static_cast<int>(i), lines[i], isHeading ? heading : Style{});
    }
  }
  return frame;
}

}  // namespace terminal
