// One run of the app in the front end: the app launched on virtual time, the world around the
// phone (its pose, the proximity sensor, the app in front or not) and the user's touches. The
// interactive loop and scripted sessions both drive the app through it. Main thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/thread_safety.h"
#include "platform/motion/motion_manager.h"
#include "tools/terminal/options.h"
#include "tools/terminal/view_renderer.h"

namespace platform {
class Application;
class TextField;
struct TextRange;
class View;
class ViewController;
}  // namespace platform

namespace terminal {

// How long, in real seconds, one step of a session (a command, or a timer falling due in a wait)
// may keep the app's background queues busy, unless told otherwise: far more than any step's work
// needs on a loaded machine. Scripts and tests see each step's consequences whole.
inline constexpr double kBackgroundLimitSeconds = 120;
// How long, in real seconds, a session that keeps pace lets the app's own work stay busy before it
// goes on without it.
inline constexpr double kStuckSeconds = 5;

// How the phone is held or lies. Raw is any reading given as numbers (setRawPose).
enum class Pose { FaceUp, FaceDown, Lifted, Upright, LeftSide, RightSide, UpsideDown, Raw };
std::string_view poseName(Pose pose);

// A step of the session whose background work was still busy at the limit: what came next would
// be judged on work not done yet, so the session stops there.
class BackgroundStillBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Session {
 public:
  // Sets up the device and screen of the options; the app is not launched yet. The clock must
  // already be the manual clock the session will drive.
  explicit Session(Options options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Options& options() const { return options_; }

  // Launches the app as the platform does (SDK load hooks, the delegate, configure, the first
  // screen) and puts the phone face up on the table.
  void launch();
  // Ends the app as the phone does: it leaves the front (resign active, background) unless it
  // already has, background tasks get a few virtual seconds at most to finish, then it is
  // terminated (the delegate hears it) and unsaved preferences are written.
  void terminate();

  // The phone. Face down covers the proximity sensor; every other pose uncovers it. The pose is
  // held: the accelerometer reports it again at 10 Hz.
  void setPose(Pose pose);
  // Any accelerometer reading, in g, held like a pose; the proximity sensor stays as it is.
  void setRawPose(double x, double y, double z);
  Pose pose() const { return pose_; }
  // The pose's name; a raw one with its reading.
  std::string poseDescription() const;
  void setSensorCovered(bool covered);
  void enterBackground();
  void enterForeground();
  // The system opens the app with a link; whether the app took it.
  bool openURL(const std::string& url);
  // The user buys a product the store sells at that price (US dollars).
  void purchase(const std::string& productID, const std::string& price);
  bool isInBackground() const;

  // Virtual time: runs what is due now, or moves time on and runs what falls due on the way.
  // Each waits for the app's background queues (its SDK's workers, transfers) until they are
  // idle after every step; a step still busy at the limit set below throws BackgroundStillBusy,
  // time moved no further. (Keeping pace, and the quit, wait as said there instead.)
  void settle();
  void advance(double seconds);

  // How long, in real seconds, one step may keep the background queues busy; a new session
  // allows kBackgroundLimitSeconds.
  void setBackgroundLimit(double seconds) { backgroundLimit_ = seconds; }
  // Keeps pace with a user instead (the interactive front end): a settle or advance waits for the
  // app's own background work at most `frameSeconds` of real time and never for work waiting on
  // another process or a server (a held database, an upload). Time does not run ahead of the
  // app's own work: what an advance could not move yet is owed, and each later settle or advance
  // moves it first. Work that stays busy for kStuckSeconds is no longer waited for until it has
  // been idle once.
  void keepPace(double frameSeconds);
  // Virtual seconds asked for but not moved yet.
  double timeOwed() const { return owed_; }
  // What hears a line each time the session stops waiting (by default, standard error; none:
  // nobody); answers the one it replaces.
  std::function<void(const std::string&)> setOnBackgroundGiveUp(std::function<void(const std::string&)> onGiveUp);
  // Whether background work of any kind was still running when the last settle or advance ended.
  bool isBackgroundBusy() const { return busy_; }
  // Virtual seconds since the session began.
  double elapsed() const;

  // The screen in front and its name: the controller's kind and a short alias ("focus",
  // "card", "break", "settings", "alert", "mail").
  std::shared_ptr<platform::ViewController> topScreen() const;
  std::string screenName() const;
  bool isScreenNamed(std::string_view name) const;

  std::vector<Tappable> tappables() const;
  // A view on screen by tap number, identifier, button title, button image name or label text;
  // reachable controls win over other views.
  std::shared_ptr<platform::View> find(std::string_view target) const;

  // The user's touches; each answers whether it happened and says why not in `error`. An app
  // in the background takes none. A touch on a disabled control happens and does nothing: it is
  // traced ("tap-ignored") and told in `error`, and the call answers true.
  bool tap(std::string_view target, std::string& error);
  bool swipe(std::string_view target, std::string_view direction, std::string& error);
  bool playPause(std::string& error);
  bool openResetSheet(std::string& error);
  bool choose(std::string_view actionTitle, std::string& error);
  // The text field in front. A keystroke or paste the field refuses is no failure: it is traced
  // ("keystroke-refused", "paste-refused") and told in `error`, and the call answers true. After
  // selectAll, the next typing, paste or delete replaces the whole text.
  bool type(std::string_view text, std::string& error);
  bool paste(std::string_view text, std::string& error);
  bool deleteBackward(int count, std::string& error);
  bool selectAll(std::string& error);
  bool pressReturn(std::string& error);
  bool dismissSheet(std::string& error);

  // A finger held on a control (a long press once held long enough) until released; released
  // early it is a tap. Only one finger holds at a time; sending the app to the background
  // cancels the touch (no tap).
  bool pressBegin(std::string_view target, std::string& error);
  bool pressEnd(std::string& error);
  bool isPressing() const;
  // What the finger holds and for how many virtual seconds; empty and 0 when it holds nothing.
  const std::string& pressedName() const { return pressedName_; }
  double pressedFor() const;

  // What is set up on the phone around the app. The options' settings apply at construction.
  // The statuses may change when the app asks (the user answers then); the answers stay.
  void setPhotoPermission(const PhotoPermission& permission);
  const PhotoPermission& photoPermission() const { return photos_; }
  void setNotificationPermission(const NotificationPermission& permission);
  const NotificationPermission& notificationPermission() const { return notifications_; }
  void setMailSetup(MailSetup setup);
  MailSetup mailSetup() const { return mail_; }
  void setHapticSupport(std::optional<HapticSupport> support);
  const std::optional<HapticSupport>& hapticSupport() const { return haptics_; }
  void setTorchSetup(TorchSetup setup);
  TorchSetup torchSetup() const { return torch_; }
  void setAssetState(const AssetState& state);
  // Assets made missing or unreadable, by name.
  const std::vector<AssetState>& assetStates() const { return assets_; }
  void setTimeZone(const std::string& zone);

  // The last image the app saved to the photo library and the texts drawn into it, read back
  // from the file; null before any save.
  struct SavedImage {
    std::filesystem::path file;
    std::vector<std::string> texts;
  };
  std::optional<SavedImage> lastSavedImage() const;

  // The app's console prints and log lines, oldest first (the last few hundred).
  std::vector<std::string> consoleLines() const;

 private:
  bool inFront(std::string& error) const;
  // The text field in front, or null with `error` set.
  std::shared_ptr<platform::TextField> textField(std::string& error) const;
  // Whether the control is disabled; then the touch is traced and told in `note`.
  bool ignoredAsDisabled(const platform::View& view, std::string_view target, std::string& note) const;
  // The field's whole text when it was selected with selectAll, else the empty range at its end.
  platform::TextRange editRange(platform::TextField& field);

  struct ConsoleTail {
    platform::Mutex mutex;
    std::vector<std::string> lines GUARDED_BY(mutex);
  };

  // After a step that waited for background work until the limit: throws when it is still busy.
  void requireIdle(bool idle);
  // After settling or advancing: notes whether background work was left running and tells
  // onGiveUp_ when the session has just stopped waiting for it.
  void noteBackground(bool idle, double waited);
  // Keeping pace: moves what is owed, as far as the app's own work allows within a frame.
  void keepUp();

  Options options_;
  std::shared_ptr<platform::Application> app_;
  double backgroundLimit_ = kBackgroundLimitSeconds;
  // The quit's waits: bounded in all, going on without work still busy at the end (set only while
  // it runs).
  std::optional<double> backgroundWait_;
  std::function<void(const std::string&)> onGiveUp_;
  // The last settle stopped waiting for background work: later ones do not wait for it again
  // until it has been idle once.
  bool stalled_ = false;
  bool busy_ = false;
  // Keeping pace (a frame's wait, seconds owed, and since when the app's own work has been busy).
  std::optional<double> frameSeconds_;
  double owed_ = 0;
  std::optional<std::chrono::steady_clock::time_point> busySince_;
  Pose pose_ = Pose::FaceUp;
  double startUptime_ = 0;
  std::shared_ptr<ConsoleTail> console_;
  int consoleSink_ = 0;
  std::string pressedName_;
  double pressStart_ = 0;
  // A press that landed on a disabled control: the finger is down, but nothing holds it.
  bool pressIgnored_ = false;
  std::weak_ptr<platform::TextField> selectedField_;
  platform::Acceleration rawPose_{};
  PhotoPermission photos_;
  NotificationPermission notifications_;
  MailSetup mail_ = MailSetup::Yes;
  std::optional<HapticSupport> haptics_;
  TorchSetup torch_ = TorchSetup::Yes;
  std::vector<AssetState> assets_;
};

}  // namespace terminal
