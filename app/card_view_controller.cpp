#include "app/card_view_controller.h"

#include <algorithm>
#include <random>

#include "app/alert_center.h"
#include "app/break_view_controller.h"
#include "app/card_photo_saving.h"
#include "app/haptic_center.h"
#include "app/localized.h"
#include "app/main_storyboard.h"
#include "app/setting_keys.h"
#include "platform/foundation/format.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/user_defaults.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/button.h"
#include "platform/ui/device.h"
#include "platform/ui/graphics_context.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/layout_constraint.h"
#include "platform/ui/screen.h"
#include "platform/ui/storyboard.h"

namespace {

using platform::LayoutConstraint;

constexpr platform::Size kCardSize{1000, 1465};
// Positions in the root view's constraint list of the two constraints that the tallest phones
// replace: the card's height and the title line's bottom.
constexpr std::size_t kCardHeightConstraint = 5;
constexpr std::size_t kTitleBottomConstraint = 14;

std::shared_ptr<platform::UserDefaults> defaults() { return platform::UserDefaults::standard(); }

// At least one minute, whatever the store says.

std::shared_ptr<platform::Label> makeLabel(double size, std::string identifier) {
  auto label = std::make_shared<platform::Label>();
  label->setFont(platform::Font::systemFont(size));
  label->setTextColor(platform::Color::blackColor().withAlphaComponent(0.9));
  label->setAccessibilityIdentifier(std::move(identifier));
  return label;
}

std::shared_ptr<platform::Button> makeButton(std::string_view image, std::string identifier) {
  auto button = platform::Button::buttonWithType(platform::ButtonType::Custom);
  button->setImage(platform::Image::named(image), platform::kControlStateNormal);
  button->setAccessibilityIdentifier(std::move(identifier));
  return button;
}

std::string totalTimeText(std::int64_t minutes) {
  if (minutes < 60) return platform::format("Today %ldmin", static_cast<long>(minutes));
  return platform::format("Today %ldh %ldm", static_cast<long>(minutes / 60), static_cast<long>(minutes % 60));
}

}  // namespace

platform::StatusBarStyle darkContentStatusBarStyle() {
  std::string version = platform::Device::current().systemVersion();
  int major = 0;
  for (char c : version) {
    if (c < '0' || c > '9') break;
    major = major * 10 + (c - '0');
  }
  return major >= 13 ? platform::StatusBarStyle::DarkContent : platform::StatusBarStyle::Default;
}

std::string CardViewController::cardImageName(std::size_t index) {
  return platform::format("card_%02lu", static_cast<unsigned long>(index + 1));
}

double CardViewController::titleWidthLimit(double screenHeight) {
  if (screenHeight < 660.0) return 180.0;
  if (screenHeight < 700.0) return 240.0;
  return 260.0;
}

CardViewController::CardViewController() = default;
CardViewController::~CardViewController() = default;

platform::StatusBarStyle CardViewController::preferredStatusBarStyle() const { return darkContentStatusBarStyle(); }

void CardViewController::loadView() {
  auto root = std::make_shared<platform::View>(platform::Screen::main().bounds());
  root->setBackgroundColor(platform::Color::rgba(0.96, 0.95, 0.92));

  cardImageView_ = std::make_shared<platform::ImageView>();
  cardImageView_->setContentMode(platform::ContentMode::ScaleAspectFit);
  cardImageView_->setAccessibilityIdentifier("cardImageView");
  sessionLabel_ = makeLabel(22, "sessionLabel");
  titleLabel_ = makeLabel(15, "titleLabel");
  timeLabel_ = makeLabel(15, "timeLabel");
  timeLabel_->setTextAlignment(platform::TextAlignment::Right);
  timeLabel_->setHidden(true);
  timeView_ = std::make_shared<platform::View>();
  timeView_->setAccessibilityIdentifier("timeView");
  timeView_->setHidden(true);
  sessionTimeLabel_ = makeLabel(15, "sessionTimeLabel");
  totalTimeLabel_ = makeLabel(12, "totalTimeLabel");
  totalTimeLabel_->setTextColor(platform::Color::grayColor());
  titleButton_ = makeButton("title_btn_false", "titleButton");
  timeButton_ = makeButton("time_btn_false", "timeButton");
  saveButton_ = makeButton("save_btn", "saveButton");
  startBreakButton_ = makeButton("start_break_btn", "startBreakButton");

  for (const auto& view : std::initializer_list<std::shared_ptr<platform::View>>{
           cardImageView_, sessionLabel_, titleLabel_, timeLabel_, timeView_, titleButton_, timeButton_, saveButton_,
           startBreakButton_}) {
    view->setTranslatesAutoresizingMaskIntoConstraints(false);
    root->addSubview(view);
  }
  timeView_->addSubview(sessionTimeLabel_);
  timeView_->addSubview(totalTimeLabel_);
  sessionTimeLabel_->setFrame(platform::Rect(0, 0, 160, 20));
  totalTimeLabel_->setFrame(platform::Rect(0, 22, 160, 16));

  auto& card = cardImageView_;
  LayoutConstraint::activate({
      card->topAnchor().constraintEqualToAnchor(root->topAnchor(), 48),
      card->centerXAnchor().constraintEqualToAnchor(root->centerXAnchor()),
      card->widthAnchor().constraintEqualToAnchorMultiplier(root->widthAnchor(), 0.8),
      sessionLabel_->topAnchor().constraintEqualToAnchor(card->topAnchor(), 16),
      sessionLabel_->leftAnchor().constraintEqualToAnchor(card->leftAnchor(), 16),
      card->heightAnchor().constraintEqualToAnchorMultiplier(root->heightAnchor(), 0.58),
      titleLabel_->leftAnchor().constraintEqualToAnchor(card->leftAnchor(), 24),
      titleLabel_->rightAnchor().constraintEqualToAnchor(card->rightAnchor(), -24),
      timeLabel_->rightAnchor().constraintEqualToAnchor(card->rightAnchor(), -24),
      timeView_->leftAnchor().constraintEqualToAnchor(card->leftAnchor(), 24),
      timeView_->rightAnchor().constraintEqualToAnchor(card->rightAnchor(), -24),
      titleButton_->topAnchor().constraintEqualToAnchor(card->bottomAnchor(), 16),
      titleButton_->leftAnchor().constraintEqualToAnchor(card->leftAnchor()),
      timeButton_->centerYAnchor().constraintEqualToAnchor(titleButton_->centerYAnchor()),
      titleLabel_->bottomAnchor().constraintEqualToAnchor(card->bottomAnchor(), -30),
      timeButton_->leftAnchor().constraintEqualToAnchor(titleButton_->rightAnchor(), 12),
      saveButton_->centerYAnchor().constraintEqualToAnchor(titleButton_->centerYAnchor()),
      saveButton_->rightAnchor().constraintEqualToAnchor(card->rightAnchor()),
      startBreakButton_->centerXAnchor().constraintEqualToAnchor(root->centerXAnchor()),
      startBreakButton_->bottomAnchor().constraintEqualToAnchor(root->bottomAnchor(), -28),
      timeLabel_->bottomAnchor().constraintEqualToAnchor(titleLabel_->bottomAnchor()),
      timeView_->bottomAnchor().constraintEqualToAnchor(titleLabel_->bottomAnchor()),
  });
  timeView_->heightAnchor().constraintEqualToConstant(38)->setActive(true);

  std::weak_ptr<CardViewController> weak = weakSelf<CardViewController>();
  auto action = [&](const std::shared_ptr<platform::Button>& button, void (CardViewController::*method)()) {
    button->addTarget(
        this,
        [weak, method](platform::Control&) {
          if (auto self = weak.lock()) ((*self).*method)();
        },
        platform::kControlEventTouchUpInside);
  };
  action(titleButton_, &CardViewController::addTitleWithSender);
  action(timeButton_, &CardViewController::showTimeViewWithSender);
  action(saveButton_, &CardViewController::saveImage);
  action(startBreakButton_, &CardViewController::startBreakTime);
  setView(root);
}

void CardViewController::viewDidLoad() {
  platform::ViewController::viewDidLoad();
  updateSessionLabel();
  setRandomCardImage();
  adjustLayoutForScreen();
  totalTimeLabel_->setText(totalTimeText(defaults()->integerForKey(kTodayFocusTotalTimeKey)));
  std::string minutes = platform::format("%ldmin", static_cast<long>(sessionTime_));
  sessionTimeLabel_->setText(minutes);
  timeLabel_->setText(minutes);
  totalTimeLabel_->layoutIfNeeded();
  timeLabel_->layoutIfNeeded();
  sessionLabel_->layoutIfNeeded();
  platform::Device::current().setProximityMonitoringEnabled(false);
}

void CardViewController::updateSessionLabel() {
  sessionLabel_->setText(platform::format("%ld/%ld", static_cast<long>(sessionDoneNumer_),
                                          static_cast<long>(storedSetting(kSessionNumberKey))));
}

void CardViewController::setRandomCardImage() {
  static platform::Mutex mutex;
  static std::mt19937 generator{std::random_device{}()};
  std::size_t index;
  {
    platform::MutexLock lock(mutex);
    index = std::uniform_int_distribution<std::size_t>(0, kCardImageCount - 1)(generator);
  }
  cardImageView_->setImage(platform::Image::named(cardImageName(index)));
}

void CardViewController::adjustLayoutForScreen() {
  auto root = view();
  platform::Rect screen = platform::Screen::main().bounds();
  if (screen.height() == 896.0 || screen.height() == 812.0) {
    const auto& constraints = root->constraints();
    if (constraints.size() > kTitleBottomConstraint) {
      LayoutConstraint::deactivate({constraints[kCardHeightConstraint], constraints[kTitleBottomConstraint]});
    }
    std::vector<std::shared_ptr<LayoutConstraint>> replacements{
        cardImageView_->heightAnchor().constraintEqualToAnchorMultiplier(root->heightAnchor(), 0.6)};
    for (const std::shared_ptr<platform::View>& line :
         {std::static_pointer_cast<platform::View>(titleLabel_), std::static_pointer_cast<platform::View>(timeLabel_),
          timeView_}) {
      replacements.push_back(screen.height() == 896.0
                                 ? line->bottomAnchor().constraintEqualToSystemSpacingBelowAnchor(
                                       cardImageView_->topAnchor(), 64.0)
                                 : line->bottomAnchor().constraintEqualToAnchor(cardImageView_->bottomAnchor(), -23.0));
    }
    LayoutConstraint::activate(replacements);
  } else if (screen.width() <= 320.0) {
    titleLabel_->setFont(platform::Font::systemFont(11.0));
    timeLabel_->setFont(platform::Font::systemFont(11.0));
    sessionTimeLabel_->setFont(platform::Font::systemFont(11.0));
    totalTimeLabel_->setFont(platform::Font::systemFont(9.0));
  }
}

void CardViewController::playLightHaptic() { HapticCenter().playLightHaptic(); }

void CardViewController::setTitleButtonImage(bool titled) {
  titleButton_->setImage(platform::Image::named(titled ? "title_btn_true" : "title_btn_false"),
                         platform::kControlStateNormal);
}

void CardViewController::addTitleWithSender() {
  playLightHaptic();
  auto alert =
      platform::AlertController::make(localizedString("alert_insert_title"), std::nullopt, platform::AlertControllerStyle::Alert);
  std::weak_ptr<CardViewController> weak = weakSelf<CardViewController>();
  std::string text = titleText_;
  alert->addTextFieldWithConfigurationHandler([weak, text](platform::TextField& field) {
    field.setText(text);
    field.setReturnKeyType(platform::ReturnKeyType::Done);
    field.setAutocapitalizationType(platform::TextAutocapitalizationType::Sentences);
    if (auto self = weak.lock()) field.setDelegate(std::weak_ptr<platform::TextFieldDelegate>(self));
  });
  alert->addAction(platform::AlertAction::make(localizedString("cancel"), platform::AlertActionStyle::Cancel));
  std::weak_ptr<platform::AlertController> weakAlert = alert;
  alert->addAction(platform::AlertAction::make(
      localizedString("ok"), platform::AlertActionStyle::Default, [weak, weakAlert](platform::AlertAction&) {
        auto self = weak.lock();
        auto shown = weakAlert.lock();
        if (!self || !shown) return;
        const auto& fields = shown->textFields();
        self->applyTitle(fields.empty() ? nullptr : fields.front().get(), true);
      }));
  presentViewController(alert, true);
}

void CardViewController::applyTitle(const platform::TextField* field, bool confirming) {
  if (!field) return;
  std::string trimmed = platform::strings::trimmingWhitespace(field->text());
  titleLabel_->setText(trimmed);
  titleText_ = trimmed;
  titleLabel_->layoutIfNeeded();
  setTitleButtonImage(!trimmed.empty());
  if (!confirming) return;
  isTitleOn_ = !trimmed.empty();
  playLightHaptic();
}

bool CardViewController::textFieldShouldReturn(platform::TextField& textField) {
  applyTitle(&textField, false);
  return true;
}

bool CardViewController::textFieldShouldChangeCharactersInRange(platform::TextField& textField,
                                                                platform::TextRange range,
                                                                const std::string& replacement) {
  // An empty field is measured like any other: its candidate is the replacement itself.
  std::u16string text = platform::strings::toUTF16(textField.text());
  if (range.location > text.size() || range.length > text.size() - range.location) return false;
  text.replace(range.location, range.length, platform::strings::toUTF16(replacement));
  std::string candidate = platform::strings::fromUTF16(text);
  double width = platform::Font::systemFont(35.0).sizeOfText(candidate).width;
  return width + 5.0 <= titleWidthLimit(platform::Screen::main().bounds().height());
}

void CardViewController::showTimeViewWithSender() {
  playLightHaptic();
  if (isTime2On_) {
    timeButton_->setImage(platform::Image::named("time_btn_false"), platform::kControlStateNormal);
    timeView_->setHidden(true);
    isTime2On_ = false;
    isTime1On_ = false;
  } else if (isTime1On_) {
    timeButton_->setImage(platform::Image::named("time_btn_true_today"), platform::kControlStateNormal);
    timeView_->setHidden(false);
    timeLabel_->setHidden(true);
    isTime2On_ = true;
    isTime1On_ = false;
  } else {
    timeButton_->setImage(platform::Image::named("time_btn_true"), platform::kControlStateNormal);
    timeLabel_->setHidden(false);
    isTime1On_ = true;
  }
}

void CardViewController::saveImage() {
  playLightHaptic();
  saveCardToPhotoAlbum(weakSelf<CardViewController>());
}

std::shared_ptr<platform::Image> CardViewController::renderCardImage() const {
  platform::ImageContext context(kCardSize, 1);
  if (auto image = cardImageView_->image()) context.drawImage(*image, platform::Rect(platform::Point{0, 0}, kCardSize));
  platform::TextAttributes a{platform::Font::systemFont(32.0), platform::Color::blackColor().withAlphaComponent(0.9)};
  platform::TextAttributes b{platform::Font::systemFont(25.0), platform::Color::grayColor()};
  auto drawTitle = [&] {
    const std::string& title = titleLabel_->text();
    double width = a.font.sizeOfText(title).width;
    context.drawText(title, platform::Rect(220, 1327, width, 100), a);
    return width;
  };
  if (isTime2On_) {
    double x = 220;
    if (isTitleOn_) x = 220 + drawTitle() + 25;
    context.drawText(timeLabel_->text(), platform::Rect(x, 1310, 900, 100), a);
    context.drawText(totalTimeLabel_->text(), platform::Rect(x, 1350, 900, 100), b);
  } else if (isTime1On_) {
    context.drawText(titleLabel_->text() + "  " + timeLabel_->text(), platform::Rect(220, 1327, 900, 100), a);
  } else if (isTitleOn_) {
    drawTitle();
  }
  return context.image();
}

void CardViewController::startBreakTime() {
  playLightHaptic();
  if (storedSetting(kSessionNumberKey) == sessionDoneNumer_) {
    performSegueWithIdentifier(kLongBreakSegue);
  } else {
    performSegueWithIdentifier(kShortBreakSegue);
  }
}

void CardViewController::prepareForSegue(platform::StoryboardSegue& segue, const std::any& /*sender*/) {
  auto destination = std::dynamic_pointer_cast<BreakViewController>(segue.destinationViewController());
  if (!destination) return;
  if (segue.identifier() == kShortBreakSegue) {
    std::int64_t minutes = storedSetting(kBreakTimeKey);
    destination->setDoneSession(sessionDoneNumer_);
    destination->setBreakTime(minutes * 60);
    AlertCenter::shared()->setBreakTimeInterval(static_cast<double>(minutes));
  } else if (segue.identifier() == kLongBreakSegue) {
    std::int64_t minutes = storedSetting(kLongBreakTimeKey);
    destination->setBreakTime(minutes * 60);
    AlertCenter::shared()->setBreakTimeInterval(static_cast<double>(minutes));
  }
}
