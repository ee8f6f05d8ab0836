// The launch of the focus timer to its first drawn screen in the terminal front end, configure
// of the SDK stack included, against the ceiling of launching an empty app on the same platform
// and drawing its one blank screen. A second pair isolates what configure costs the main thread.
// Targets: the launch under 50 ms; configure's main-thread share under 5 ms.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>

#include "app/alert_center.h"
#include "app/sound_center.h"
#include "platform/foundation/console.h"
#include "platform/foundation/trace.h"
#include "platform/media/media_driver.h"
#include "platform/motion/motion_driver.h"
#include "platform/notifications/notification_driver.h"
#include "platform/testing/testing.h"
#include "platform/testing/ui_driver.h"
#include "platform/ui/application.h"
#include "platform/ui/screen.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/load_hooks.h"
#include "tools/terminal/frame.h"
#include "tools/terminal/session.h"
#include "tools/terminal/view_renderer.h"

namespace {

constexpr std::string_view kEmptyDelegate = "BenchEmptyAppDelegate";
// The cells of a 140 x 50 terminal's phone area.
constexpr terminal::CellSize kCell{7.6, 15.2};

// A fresh device, home, clock and SDK for every launch, as a first launch finds them.
class FreshWorld {
 public:
  FreshWorld() {
    platform::testing::useManualClock();
    home_.emplace();
    platform::UIDriver::reset();
    platform::MediaDriver::reset();
    platform::MotionDriver::reset();
    platform::NotificationDriver::reset();
    platform::Trace::clear();
    SoundCenter::resetSharedForTesting();
    AlertCenter::resetSharedForTesting();
    VDZApp::resetAppsForTesting();
  }
  ~FreshWorld() {
    platform::MotionDriver::clearHeldPose();
    platform::testing::runUntilIdle();
    platform::Application::reset();
    platform::testing::runUntilIdle();
  }

 private:
  std::optional<platform::testing::TemporaryHome> home_;
};

void prepareProcess() {
  static const bool ready = [] {
    platform::testing::becomeMainThread();
    platform::Console::setEchoToTerminal(false);
    sdk::runLoadHooks();
    platform::ApplicationDelegateRegistry::registerClass(
        std::string(kEmptyDelegate), [] { return std::make_shared<platform::ApplicationDelegate>(); });
    return true;
  }();
  (void)ready;
}

void BM_AppLaunchToFirstDrawnScreen(benchmark::State& state) {
  prepareProcess();
  for (auto _ : state) {
    state.PauseTiming();
    std::optional<FreshWorld> world(std::in_place);
    state.ResumeTiming();
    {
      terminal::Session session(terminal::Options{});
      session.launch();
      terminal::Grid frame = terminal::composeFrame(session, kCell, 46, 48, terminal::LoopState{}, true);
      benchmark::DoNotOptimize(frame.cols());
      state.PauseTiming();
    }
    world.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AppLaunchToFirstDrawnScreen)->Unit(benchmark::kMillisecond);

// The ceiling: the platform's launch of an app that does nothing, with one blank screen drawn.
void BM_EmptyAppLaunchToFirstDrawnScreen(benchmark::State& state) {
  prepareProcess();
  for (auto _ : state) {
    state.PauseTiming();
    std::optional<FreshWorld> world(std::in_place);
    auto storyboard = std::make_shared<platform::Storyboard>("Main");
    storyboard->addViewController("Blank", [] { return std::make_shared<platform::ViewController>(); });
    storyboard->setInitialViewController("Blank");
    platform::Storyboard::registerStoryboard(storyboard);
    state.ResumeTiming();
    platform::Application::launch(kEmptyDelegate);
    platform::testing::runUntilIdle();
    auto window = platform::UIDriver::keyWindow();
    terminal::Grid grid = terminal::renderViewTree(*window, platform::Screen::main().bounds().size, kCell,
                                                   terminal::tappableControls(window));
    benchmark::DoNotOptimize(grid.cols());
    state.PauseTiming();
    world.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_EmptyAppLaunchToFirstDrawnScreen)->Unit(benchmark::kMillisecond);

// What configure keeps the main thread busy for (its queues' work afterwards is not counted).
void BM_ConfigureOnMainThread(benchmark::State& state) {
  prepareProcess();
  for (auto _ : state) {
    state.PauseTiming();
    std::optional<FreshWorld> world(std::in_place);
    state.ResumeTiming();
    VDZApp::configure();
    state.PauseTiming();
    platform::testing::runUntilIdle();
    world.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ConfigureOnMainThread)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
