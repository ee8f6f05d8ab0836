// A running application with no screens (an empty bundle names no storyboard); forgotten again
// when the test ends, whatever happened.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/foundation/bundle.h"
#include "platform/foundation/home.h"
#include "platform/ui/application.h"

namespace platform {

struct BareApplication {
  BareApplication() {
    const auto bundle = Home::temporary() / "bare-bundle";
    std::filesystem::create_directories(bundle);
    Bundle::setMainPath(bundle);
    ApplicationDelegateRegistry::registerClass("BareDelegate", [] { return std::make_shared<ApplicationDelegate>(); });
    app = Application::launch("BareDelegate");
  }
  ~BareApplication() {
    Application::reset();
    Bundle::setMainPath({});
  }
  std::shared_ptr<Application> app;
};

}  // namespace platform
