// Local notifications. Requests wait on the platform clock in the centre's own queue, so they
// fire also while the app is in the background (the main run loop suspended). A request that
// fires is shown (trace "notification": "<identifier> | <title> | <body> | <sound>") only when
// notifications are authorised and the app is not in front; in front, the delegate decides.
// Completion handlers run on the centre's queue, never on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform {

class DispatchQueue;

inline constexpr std::string_view kUserNotificationsErrorDomain = "UNErrorDomain";
inline constexpr std::int64_t kUserNotificationsErrorNotificationsNotAllowed = 1;
inline constexpr std::int64_t kUserNotificationsErrorInvalidTrigger = 105;

enum class AuthorizationStatus : int { NotDetermined = 0, Denied = 1, Authorized = 2, Provisional = 3, Ephemeral = 4 };

enum AuthorizationOptions : unsigned {
  kAuthorizationOptionNone = 0,
  kAuthorizationOptionBadge = 1,
  kAuthorizationOptionSound = 2,
  kAuthorizationOptionAlert = 4,
  // Granted at once without asking; notifications are delivered quietly.
  kAuthorizationOptionProvisional = 64,
};

// What the delegate lets a notification do while the app is in front.
enum PresentationOptions : unsigned {
  kPresentationOptionNone = 0,
  kPresentationOptionBadge = 1,
  kPresentationOptionSound = 2,
  kPresentationOptionAlert = 4,
  kPresentationOptionList = 8,
  kPresentationOptionBanner = 16,
};

struct NotificationSettings {
  AuthorizationStatus authorizationStatus = AuthorizationStatus::NotDetermined;
  bool soundEnabled = false;
  bool alertEnabled = false;
};

struct NotificationSound {
  std::string name;  // "default" for the system's sound
  static NotificationSound defaultSound() { return {"default"}; }
  static NotificationSound soundNamed(std::string name) { return {std::move(name)}; }
};

struct NotificationContent {
  std::string title;
  std::string subtitle;
  std::string body;
  std::optional<NotificationSound> sound;
  Value::Dictionary userInfo;
};

// Fires `timeInterval` seconds after the request is added (and every interval again when it
// repeats). The interval is checked when the request is added.
struct TimeIntervalNotificationTrigger {
  double timeInterval = 0;
  bool repeats = false;
};

struct NotificationRequest {
  std::string identifier;
  NotificationContent content;
  // No trigger: delivered at once.
  std::optional<TimeIntervalNotificationTrigger> trigger;
};

struct UserNotification {
  Date date;
  NotificationRequest request;
};

class UserNotificationCenter;

class UserNotificationCenterDelegate {
 public:
  virtual ~UserNotificationCenterDelegate() = default;
  // Main queue, when a notification fires while the app is in front; without this the
  // notification is not shown.
  virtual void willPresentNotification(UserNotificationCenter& /*center*/, const UserNotification& /*notification*/,
                                       std::function<void(unsigned presentationOptions)> completion) {
    completion(kPresentationOptionNone);
  }
};

class UserNotificationCenter : public std::enable_shared_from_this<UserNotificationCenter> {
 public:
  static std::shared_ptr<UserNotificationCenter> current();

  // Asks the user (the answer NotificationDriver::setAuthorizationAnswer scripted) while the
  // status is not determined; later requests answer from the decided status without asking. The
  // decided status is kept in the home, so later launches do not ask again either.
  void requestAuthorization(unsigned options, std::function<void(bool granted, const Error* error)> completion);
  void getNotificationSettings(std::function<void(const NotificationSettings&)> completion);
  // Settings as they stand now, for the side pane and tests.
  NotificationSettings notificationSettings() const;

  // Adds or, for an identifier already pending, replaces. A trigger interval of 0 or less (or a
  // repeating one below 60 s) is refused: the completion gets an error in
  // kUserNotificationsErrorDomain and nothing is scheduled. Added also without authorisation.
  void add(NotificationRequest request, std::function<void(const Error* error)> completion = {});
  void getPendingNotificationRequests(std::function<void(const std::vector<NotificationRequest>&)> completion);
  // Pending requests now, earliest fire date first.
  std::vector<NotificationRequest> pendingNotificationRequests() const;
  // Identifiers of the pending requests with their next fire dates, earliest first.
  std::vector<std::pair<std::string, Date>> pendingFireDates() const;
  void removePendingNotificationRequests(const std::vector<std::string>& identifiers);
  void removeAllPendingNotificationRequests();

  // Notifications that were shown, oldest first.
  std::vector<UserNotification> deliveredNotifications() const;
  void removeAllDeliveredNotifications();

  void setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate);
  std::shared_ptr<UserNotificationCenterDelegate> delegate() const;

  // The queue on which completions run.
  std::shared_ptr<DispatchQueue> queue() const { return queue_; }

  UserNotificationCenter();
  ~UserNotificationCenter();
  UserNotificationCenter(const UserNotificationCenter&) = delete;
  UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

  struct State;

 private:
  void fire(const std::string& identifier, std::uint64_t generation);
  void show(const UserNotification& notification);

  std::shared_ptr<DispatchQueue> queue_;
  std::unique_ptr<State> s_;
};

}  // namespace platform
