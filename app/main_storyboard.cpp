#include "app/main_storyboard.h"

#include <string>

#include "app/break_view_controller.h"
#include "app/card_view_controller.h"
#include "app/settings_view_controller.h"
#include "app/view_controller.h"
#include "platform/ui/storyboard.h"

std::shared_ptr<platform::Storyboard> makeMainStoryboard() {
  auto storyboard = std::make_shared<platform::Storyboard>(std::string(kMainStoryboardName));
  storyboard->addViewController("ViewController", [] { return std::make_shared<ViewController>(); });
  storyboard->addViewController("CardViewController", [] { return std::make_shared<CardViewController>(); });
  storyboard->addViewController("BreakViewController", [] { return std::make_shared<BreakViewController>(); });
  storyboard->setInitialViewController("ViewController");

  auto present = [&](std::string_view identifier, std::string destination) {
    platform::SegueDefinition segue;
    segue.identifier = std::string(identifier);
    segue.kind = platform::SegueKind::Present;
    segue.destination = std::move(destination);
    segue.presentationStyle = platform::ModalPresentationStyle::FullScreen;
    storyboard->addSegue(std::move(segue));
  };
  present(kShowCardSegue, "CardViewController");
  present(kShortBreakSegue, "BreakViewController");
  present(kLongBreakSegue, "BreakViewController");
  addSettingsScreen(*storyboard);

  platform::SegueDefinition unwind;
  unwind.identifier = std::string(kUnwindMainSegue);
  unwind.kind = platform::SegueKind::Unwind;
  unwind.unwindAction = std::string(ViewController::kUnwindAction);
  storyboard->addSegue(std::move(unwind));
  return storyboard;
}

void registerMainStoryboard() { platform::Storyboard::registerStoryboard(makeMainStoryboard()); }
