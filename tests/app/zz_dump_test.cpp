#include <fstream>
#include "app/card_view_controller.h"
#include "focus_app_fixture.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/text_field.h"
TEST(Dump, Card) {
  platform::UIDriver::reset();
  platform::UserDefaults::standard()->setBool(false, kIsFirstLaunchKey);
  platform::UserDefaults::standard()->setInteger(1, kFocusTimeKey);
  platform::Device::current().setModel("iPad");
  auto app = launchFocusApp();
  platform::testing::runUntilIdle();
  auto focus = std::dynamic_pointer_cast<ViewController>(platform::UIDriver::keyWindow()->rootViewController());
  platform::UIDriver::tap(*focus->startButton());
  platform::testing::advance(61);
  auto card = std::dynamic_pointer_cast<CardViewController>(platform::UIDriver::topViewController());
  card->titleLabel()->setText("Deep work");
  platform::UIDriver::tap(*card->timeButton());
  platform::UIDriver::tap(*card->timeButton());
  card->applyTitle(nullptr, true);
  auto img = card->renderCardImage();
  auto d = img->pngData();
  std::ofstream("/tmp/card.png", std::ios::binary).write(reinterpret_cast<const char*>(d.data()), d.size());
  for (auto& v : card->view()->subviews()) std::printf("%s %s %s\n", std::string(v->className()).c_str(), v->accessibilityIdentifier().c_str(), v->frame().description().c_str());
  app.reset(); platform::UIDriver::reset();
}
