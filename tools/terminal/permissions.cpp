#include "tools/terminal/permissions.h"

#include <vector>

#include "platform/foundation/error.h"
#include "platform/mail/mail_compose_view_controller.h"
#include "platform/notifications/notification_driver.h"
#include "platform/photos/photos_driver.h"

namespace terminal {

namespace {

// The words of `text`, split at blanks and colons.
std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto start = text.find_first_not_of(" \t:", at);
    if (start == std::string_view::npos) break;
    const auto end = text.find_first_of(" \t:", start);
    out.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    at = end == std::string_view::npos ? text.size() : end;
  }
  return out;
}

std::optional<Decision> decisionNamed(std::string_view word) {
  for (Decision d : {Decision::Ask, Decision::Allow, Decision::Limited, Decision::Deny, Decision::Restricted,
                     Decision::Provisional, Decision::Ephemeral, Decision::Error}) {
    if (decisionName(d) == word) return d;
  }
  return std::nullopt;
}

// The common shape: a status, or "ask" with an optional answer, each from its own list.
template <class Permission>
std::optional<Permission> parsePermission(std::string_view text, std::initializer_list<Decision> statuses,
                                          std::initializer_list<Decision> answers, std::string_view accepted,
                                          std::string& error) {
  auto list = words(text);
  auto among = [](std::optional<Decision> d, std::initializer_list<Decision> allowed) {
    for (Decision a : allowed) {
      if (d == a) return true;
    }
    return false;
  };
  Permission permission;
  if (list.size() == 1 && among(decisionNamed(list[0]), statuses)) {
    permission.status = *decisionNamed(list[0]);
    return permission;
  }
  if ((list.size() == 1 || list.size() == 2) && list[0] == "ask") {
    if (list.size() == 1) return permission;
    if (among(decisionNamed(list[1]), answers)) {
      permission.answer = *decisionNamed(list[1]);
      return permission;
    }
  }
  error = "takes " + std::string(accepted) + ", not \"" + std::string(text) + "\"";
  return std::nullopt;
}

}  // namespace

std::string_view decisionName(Decision decision) {
  switch (decision) {
    case Decision::Ask:
      return "ask";
    case Decision::Allow:
      return "allow";
    case Decision::Limited:
      return "limited";
    case Decision::Deny:
      return "deny";
    case Decision::Restricted:
      return "restricted";
    case Decision::Provisional:
      return "provisional";
    case Decision::Ephemeral:
      return "ephemeral";
    case Decision::Error:
      return "error";
  }
  return "?";
}

std::string_view mailSetupName(MailSetup setup) {
  switch (setup) {
    case MailSetup::Yes:
      return "yes";
    case MailSetup::No:
      return "no";
    case MailSetup::Failing:
      return "fail";
  }
  return "?";
}

std::optional<PhotoPermission> parsePhotoPermission(std::string_view text, std::string& error) {
  return parsePermission<PhotoPermission>(text,
                                          {Decision::Allow, Decision::Limited, Decision::Deny, Decision::Restricted},
                                          {Decision::Allow, Decision::Limited, Decision::Deny, Decision::Restricted},
                                          "allow, limited, deny, restricted or ask [allow|limited|deny|restricted]",
                                          error);
}

std::optional<NotificationPermission> parseNotificationPermission(std::string_view text, std::string& error) {
  if (words(text).size() == 1 && words(text)[0] == "unset") return NotificationPermission{};
  return parsePermission<NotificationPermission>(
      text, {Decision::Allow, Decision::Deny, Decision::Provisional, Decision::Ephemeral},
      {Decision::Allow, Decision::Deny, Decision::Error},
      "allow, deny, provisional, ephemeral or ask [allow|deny|error]", error);
}

std::optional<MailSetup> parseMailSetup(std::string_view text, std::string& error) {
  auto list = words(text);
  if (list.size() == 1) {
    for (MailSetup s : {MailSetup::Yes, MailSetup::No, MailSetup::Failing}) {
      if (mailSetupName(s) == list[0]) return s;
    }
  }
  error = "takes yes, no or fail, not \"" + std::string(text) + "\"";
  return std::nullopt;
}

void applyPhotoPermission(const PhotoPermission& permission) {
  using Status = platform::PhotoAuthorizationStatus;
  auto status = [](Decision d) {
    switch (d) {
      case Decision::Allow:
        return Status::Authorized;
      case Decision::Limited:
        return Status::Limited;
      case Decision::Deny:
        return Status::Denied;
      case Decision::Restricted:
        return Status::Restricted;
      default:
        break;
    }
    return Status::NotDetermined;
  };
  platform::PhotosDriver::setAuthorizationStatus(status(permission.status));
  platform::PhotosDriver::setAuthorizationAnswer(status(permission.answer));
}

void applyNotificationPermission(const NotificationPermission& permission) {
  using Status = platform::AuthorizationStatus;
  Status status = Status::NotDetermined;
  switch (permission.status) {
    case Decision::Allow:
      status = Status::Authorized;
      break;
    case Decision::Deny:
      status = Status::Denied;
      break;
    case Decision::Provisional:
      status = Status::Provisional;
      break;
    case Decision::Ephemeral:
      status = Status::Ephemeral;
      break;
    default:
      break;
  }
  platform::NotificationDriver::setAuthorizationStatus(status);
  std::optional<platform::Error> failure;
  if (permission.answer == Decision::Error) {
    failure = platform::Error(std::string(platform::kUserNotificationsErrorDomain),
                              platform::kUserNotificationsErrorNotificationsNotAllowed,
                              {{std::string(platform::kLocalizedDescriptionKey),
                                platform::Value("Notifications are not allowed for this application")}});
  }
  platform::NotificationDriver::setAuthorizationAnswer(permission.answer == Decision::Allow, std::move(failure));
}

void applyMailSetup(MailSetup setup) {
  platform::MailDriver::setCanSendMail(setup != MailSetup::No);
  if (setup == MailSetup::Failing) {
    platform::MailDriver::setSendFailure(platform::Error(
        std::string(platform::kPOSIXErrorDomain), 101,
        {{std::string(platform::kLocalizedDescriptionKey), platform::Value("The mail server cannot be reached")}}));
  } else {
    platform::MailDriver::setSendFailure(std::nullopt);
  }
}

}  // namespace terminal
