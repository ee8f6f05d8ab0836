// The mail composer: a screen the app fills with recipients, subject and body and presents
// modally. The user sends or cancels it there (the terminal front end and tests do it through
// send and cancel); then its delegate hears the result and is expected to dismiss it. Whether the
// device can send mail at all is a fact of the device (MailDriver::setCanSendMail). Sent mail
// goes to the trace as "mail".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/ui/view_controller.h"

namespace platform {

class Button;
class Label;
class MailComposeViewController;

inline constexpr std::string_view kMailComposeErrorDomain = "MFMailComposeErrorDomain";
inline constexpr std::int64_t kMailComposeErrorSendFailed = 1;

// The platform's result values.
enum class MailComposeResult { Cancelled = 0, Saved = 1, Sent = 2, Failed = 3 };

class MailComposeViewControllerDelegate {
 public:
  virtual ~MailComposeViewControllerDelegate() = default;
  // Main thread. Without an answer here the composer stays on screen.
  virtual void mailComposeControllerDidFinishWithResult(MailComposeViewController& /*controller*/,
                                                        MailComposeResult /*result*/, const Error* /*error*/) {}
};

class MailComposeViewController : public ViewController {
 public:
  // Whether the device has a mail account set up.
  static bool canSendMail();

  MailComposeViewController();
  std::string_view className() const override { return "MailComposeViewController"; }
  void loadView() override;

  std::shared_ptr<MailComposeViewControllerDelegate> mailComposeDelegate() const { return delegate_.lock(); }
  void setMailComposeDelegate(std::weak_ptr<MailComposeViewControllerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }

  void setToRecipients(std::vector<std::string> recipients);
  void setCcRecipients(std::vector<std::string> recipients) { cc_ = std::move(recipients); }
  void setBccRecipients(std::vector<std::string> recipients) { bcc_ = std::move(recipients); }
  void setSubject(std::string subject);
  void setMessageBody(std::string body, bool isHTML);

  const std::vector<std::string>& toRecipients() const { return to_; }
  const std::vector<std::string>& ccRecipients() const { return cc_; }
  const std::vector<std::string>& bccRecipients() const { return bcc_; }
  const std::string& subject() const { return subject_; }
  const std::string& messageBody() const { return body_; }
  bool isBodyHTML() const { return html_; }

  // What the user does on the composer; each finishes it once (later calls do nothing). Sending
  // fails with kMailComposeErrorSendFailed while MailDriver::setSendFailure holds an error.
  void send();
  void cancel();
  bool isFinished() const { return finished_; }

 private:
  void finish(MailComposeResult result, const Error* error);
  void refreshLabels();

  std::weak_ptr<MailComposeViewControllerDelegate> delegate_;
  std::vector<std::string> to_, cc_, bcc_;
  std::string subject_, body_;
  bool html_ = false;
  bool finished_ = false;
  std::shared_ptr<Label> toLabel_, subjectLabel_, bodyLabel_;
};

// What tests and the terminal front end control and read of mail.
namespace MailDriver {
// The device can send mail, sending works, nothing sent.
void reset();
void setCanSendMail(bool canSend);
void setSendFailure(std::optional<Error> error);

struct SentMail {
  std::vector<std::string> to;
  std::string subject;
  std::string body;
};
std::vector<SentMail> sentMails();
}  // namespace MailDriver

}  // namespace platform
