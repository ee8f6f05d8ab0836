#include "platform/mail/mail_compose_view_controller.h"


#include "platform/foundation/thread_safety.h"
#include "platform/foundation/trace.h"
#include "platform/ui/button.h"
#include "platform/ui/label.h"
#include "platform/ui/screen.h"

namespace platform {

namespace {

struct MailState {
  Mutex mutex;
  bool canSend GUARDED_BY(mutex) = true;
  std::optional<Error> sendFailure GUARDED_BY(mutex);
  std::vector<MailDriver::SentMail> sent GUARDED_BY(mutex);

  static MailState& shared() {
    static MailState state;
    return state;
  }
};

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += ", ";
    out += item;
  }
  return out;
}

}  // namespace

bool MailComposeViewController::canSendMail() {
  auto& s = MailState::shared();
  MutexLock lock(s.mutex);
  return s.canSend;
}

MailComposeViewController::MailComposeViewController() { setModalPresentationStyle(ModalPresentationStyle::PageSheet); }

void MailComposeViewController::loadView() {
  Rect bounds = Screen::main().bounds();
  double width = bounds.width();
  auto root = std::make_shared<View>(bounds);
  root->setBackgroundColor(Color::whiteColor());
  root->setAccessibilityIdentifier("mailComposer");

  auto makeButton = [&](std::string title, std::string identifier, Rect frame,
                        void (MailComposeViewController::*action)()) {
    auto button = std::make_shared<Button>(ButtonType::System, frame);
    button->setTitle(std::move(title), kControlStateNormal);
    button->setTitleColor(Color::systemBlueColor(), kControlStateNormal);
    button->setAccessibilityIdentifier(std::move(identifier));
    std::weak_ptr<MailComposeViewController> weak = weakSelf<MailComposeViewController>();
    button->addTarget(
        this,
        [weak, action](Control&) {
          if (auto self = weak.lock()) ((*self).*action)();
        },
        kControlEventTouchUpInside);
    root->addSubview(button);
  };
  makeButton("Cancel", "mailCancelButton", Rect(8, 16, 80, 36), &MailComposeViewController::cancel);
  makeButton("Send", "mailSendButton", Rect(width - 88, 16, 80, 36), &MailComposeViewController::send);

  auto makeLabel = [&](std::string identifier, Rect frame) {
    auto label = std::make_shared<Label>(frame);
    label->setAccessibilityIdentifier(std::move(identifier));
    root->addSubview(label);
    return label;
  };
  toLabel_ = makeLabel("mailToLabel", Rect(16, 64, width - 32, 28));
  subjectLabel_ = makeLabel("mailSubjectLabel", Rect(16, 96, width - 32, 28));
  bodyLabel_ = makeLabel("mailBodyLabel", Rect(16, 132, width - 32, bounds.height() - 148));
  bodyLabel_->setNumberOfLines(0);
  setView(root);
  refreshLabels();
}

void MailComposeViewController::refreshLabels() {
  if (toLabel_) toLabel_->setText("To: " + joined(to_));
  if (subjectLabel_) subjectLabel_->setText("Subject: " + subject_);
  if (bodyLabel_) bodyLabel_->setText(body_);
}

void MailComposeViewController::setToRecipients(std::vector<std::string> recipients) {
  to_ = std::move(recipients);
  refreshLabels();
}

void MailComposeViewController::setSubject(std::string subject) {
  subject_ = std::move(subject);
  refreshLabels();
}

void MailComposeViewController::setMessageBody(std::string body, bool isHTML) {
  body_ = std::move(body);
  html_ = isHTML;
  refreshLabels();
}

void MailComposeViewController::send() {
  if (finished_) return;
  std::optional<Error> failure;
  {
    auto& s = MailState::shared();
    MutexLock lock(s.mutex);
    failure = s.sendFailure;
    if (!failure) s.sent.push_back({to_, subject_, body_});
  }
  if (failure) {
    Error error(std::string(kMailComposeErrorDomain), kMailComposeErrorSendFailed, failure->userInfo(),
                std::make_shared<Error>(*failure));
    finish(MailComposeResult::Failed, &error);
    return;
  }
  Trace::record("mail", "sent to " + joined(to_) + (subject_.empty() ? "" : " | " + subject_));
  finish(MailComposeResult::Sent, nullptr);
}

void MailComposeViewController::cancel() {
  if (finished_) return;
  finish(MailComposeResult::Cancelled, nullptr);
}

void MailComposeViewController::finish(MailComposeResult result, const Error* error) {
  finished_ = true;
  // The delegate usually dismisses the composer, which may let go of it.
  auto keepAlive = shared_from_this();
  if (auto delegate = delegate_.lock()) delegate->mailComposeControllerDidFinishWithResult(*this, result, error);
}

namespace MailDriver {

void reset() {
  auto& s = MailState::shared();
  MutexLock lock(s.mutex);
  s.canSend = true;
  s.sendFailure.reset();
  s.sent.clear();
}

void setCanSendMail(bool canSend) {
  auto& s = MailState::shared();
  MutexLock lock(s.mutex);
  s.canSend = canSend;
}

void setSendFailure(std::optional<Error> error) {
  auto& s = MailState::shared();
  MutexLock lock(s.mutex);
  s.sendFailure = std::move(error);
}

std::vector<SentMail> sentMails() {
  auto& s = MailState::shared();
  MutexLock lock(s.mutex);
  return s.sent;
}

}  // namespace MailDriver

}  // namespace platform
