// What a person has set up on the phone around the app: the photo library's and the
// notifications' permission (decided already, or still to be asked and then answered), and
// whether mail is set up. Options and script commands read them from words such as "allow",
// "ask deny" or "ask:limited".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace terminal {

enum class Decision { Ask, Allow, Limited, Deny, Restricted, Provisional, Ephemeral, Error };

// "ask", "allow", "limited", "deny", "restricted", "provisional", "ephemeral", "error".
std::string_view decisionName(Decision decision);

// The photo library. While the status is Ask, the system answers the app's request with `answer`:
// the user's Allow, Limited or Deny, or Restricted when a device policy forbids access.
struct PhotoPermission {
  Decision status = Decision::Ask;
  Decision answer = Decision::Allow;
  friend bool operator==(const PhotoPermission&, const PhotoPermission&) = default;
};

// Notifications: status Ask, Allow, Deny, Provisional or Ephemeral; the answer to a request Allow,
// Deny, or Error (not granted, and the request fails with an error).
struct NotificationPermission {
  Decision status = Decision::Ask;
  Decision answer = Decision::Allow;
  friend bool operator==(const NotificationPermission&, const NotificationPermission&) = default;
};

enum class MailSetup { Yes, No, Failing };
std::string_view mailSetupName(MailSetup setup);

// "allow" | "limited" | "deny" | "restricted" | "ask" [allow|limited|deny|restricted], the answer
// after a space or a colon; "ask" alone answers allow. Null for anything else, with `error` saying what is accepted.
std::optional<PhotoPermission> parsePhotoPermission(std::string_view text, std::string& error);
// "allow" | "deny" | "provisional" | "ephemeral" | "ask" [allow|deny|error] | "unset" (the same
// as "ask").
std::optional<NotificationPermission> parseNotificationPermission(std::string_view text, std::string& error);
// "yes" | "no" | "fail" (mail is set up but sending fails).
std::optional<MailSetup> parseMailSetup(std::string_view text, std::string& error);

// Puts the platform's stand-ins in that state.
void applyPhotoPermission(const PhotoPermission& permission);
void applyNotificationPermission(const NotificationPermission& permission);
void applyMailSetup(MailSetup setup);

}  // namespace terminal
