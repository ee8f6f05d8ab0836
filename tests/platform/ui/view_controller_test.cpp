#include "platform/ui/view_controller.h"

#include <gtest/gtest.h>

#include "platform/foundation/exception.h"
#include "platform/runtime/class.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

using Log = std::vector<std::string>;

class Screen_ : public ViewController {
 public:
  Screen_(std::string name, std::shared_ptr<Log> log) : name_(std::move(name)), log_(std::move(log)) {}
  void viewDidLoad() override {
    note("viewDidLoad");
    if (onLoad) onLoad();
  }
  void viewWillAppear(bool) override { note("viewWillAppear"); }
  void viewDidAppear(bool) override { note("viewDidAppear"); }
  void viewWillDisappear(bool) override { note("viewWillDisappear"); }
  void viewDidDisappear(bool) override { note("viewDidDisappear"); }
  void prepareForSegue(StoryboardSegue& segue, const std::any&) override {
    auto& d = segue.destinationViewController();
    note("prepare " + segue.identifier() + (d->isViewLoaded() ? " (destination loaded)" : " (destination not loaded)"));
    if (onPrepare) onPrepare(segue);
  }
  void note(const std::string& what) { log_->push_back(name_ + ": " + what); }
  std::function<void(StoryboardSegue&)> onPrepare;
  std::function<void()> onLoad;

 private:
  std::string name_;
  std::shared_ptr<Log> log_;
};

class ViewControllerTest : public UITest {
 protected:
  void SetUp() override {
    UITest::SetUp();
    log_ = std::make_shared<Log>();
    storyboard_ = std::make_shared<Storyboard>("Main");
    for (const char* name : {"root", "card", "rest", "settings"}) {
      storyboard_->addViewController(name, [this, name] { return std::make_shared<Screen_>(name, log_); });
    }
    storyboard_->addSegue({"show_card", SegueKind::Show, "card", "", true, ModalPresentationStyle::FullScreen});
    storyboard_->addSegue({"show_rest", SegueKind::Present, "rest", "", true, ModalPresentationStyle::FullScreen});
    storyboard_->addSegue({"open_settings", SegueKind::Present, "settings", "", true, std::nullopt});
    storyboard_->addSegue({"back_home", SegueKind::Unwind, "", "unwindHome:", true, std::nullopt});
    Storyboard::registerStoryboard(storyboard_);
    window_ = std::make_shared<Window>(Rect(0, 0, 375, 667));
    root_ = std::static_pointer_cast<Screen_>(storyboard_->instantiateViewControllerWithIdentifier("root"));
    window_->setRootViewController(root_);
    window_->makeKeyAndVisible();
    platform::testing::runUntilIdle();
    log_->clear();
  }

  std::shared_ptr<Log> log_;
  std::shared_ptr<Storyboard> storyboard_;
  std::shared_ptr<Window> window_;
  std::shared_ptr<Screen_> root_;
};

TEST_F(ViewControllerTest, SeguePreparesTheDestinationBeforeItsViewLoads) {
  root_->performSegueWithIdentifier("show_card");
  ASSERT_GE(log_->size(), 2u);
  EXPECT_EQ((*log_)[0], "root: prepare show_card (destination not loaded)");
  EXPECT_EQ((*log_)[1], "card: viewDidLoad");
  auto card = root_->presentedViewController();
  ASSERT_TRUE(card);
  EXPECT_EQ(card->storyboardIdentifier(), "card");
  EXPECT_EQ(card->presentingViewController(), root_);
  EXPECT_EQ(card->modalPresentationStyle(), ModalPresentationStyle::FullScreen);
  EXPECT_EQ(window_->topViewController(), card);
  EXPECT_EQ(card->view()->superview(), window_);
}

TEST_F(ViewControllerTest, UnknownSegueRaises) {
  EXPECT_THROW(root_->performSegueWithIdentifier("no_such_segue"), Exception);
  auto orphan = std::make_shared<ViewController>();
  EXPECT_THROW(orphan->performSegueWithIdentifier("show_card"), Exception);
}

TEST_F(ViewControllerTest, CompletionsRunAfterTheTransitionOnTheClock) {
  struct Case {
    bool animated;
    double before;  // time at which the completion has not yet run
    double after;   // further time after which it has
  };
  for (const Case& c : {Case{true, ViewController::kTransitionDuration - 0.01, 0.01}, Case{false, 0, 0}}) {
    SCOPED_TRACE(c.animated ? "animated" : "not animated");
    auto sheet = std::make_shared<ViewController>();
    bool presented = false;
    root_->presentViewController(sheet, c.animated, [&] { presented = true; });
    EXPECT_FALSE(presented);
    EXPECT_TRUE(sheet->isBeingPresented());
    if (c.before > 0) {
      platform::testing::advance(c.before);
      EXPECT_FALSE(presented);
    }
    platform::testing::advance(c.after);
    EXPECT_TRUE(presented);
    EXPECT_FALSE(sheet->isBeingPresented());

    bool dismissed = false;
    sheet->dismissViewControllerAnimated(c.animated, [&] { dismissed = true; });
    EXPECT_TRUE(sheet->isBeingDismissed());
    if (c.before > 0) {
      platform::testing::advance(c.before);
      EXPECT_FALSE(dismissed);
      EXPECT_EQ(root_->presentedViewController(), sheet);
    }
    platform::testing::advance(c.after);
    EXPECT_TRUE(dismissed);
    EXPECT_EQ(root_->presentedViewController(), nullptr);
    EXPECT_EQ(sheet->presentingViewController(), nullptr);
    EXPECT_EQ(sheet->view()->superview(), nullptr);
  }
}

TEST_F(ViewControllerTest, AppearanceCallbacksFollowThePresentationStyle) {
  struct Case {
    const char* segue;
    Log presenting;
    Log dismissing;
  };
  const Case cases[] = {
      {"show_rest",
       {"rest: viewDidLoad", "rest: viewWillAppear", "root: viewWillDisappear", "rest: viewDidAppear",
        "root: viewDidDisappear"},
       {"rest: viewWillDisappear", "root: viewWillAppear", "rest: viewDidDisappear", "root: viewDidAppear"}},
      // A sheet leaves the screen below it in view.
      {"open_settings",
       {"settings: viewDidLoad", "settings: viewWillAppear", "settings: viewDidAppear"},
       {"settings: viewWillDisappear", "settings: viewDidDisappear"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.segue);
    root_->performSegueWithIdentifier(c.segue);
    platform::testing::advance(ViewController::kTransitionDuration);
    log_->erase(log_->begin());  // the prepare line
    EXPECT_EQ(*log_, c.presenting);
    log_->clear();
    root_->dismissViewControllerAnimated(true);
    platform::testing::advance(ViewController::kTransitionDuration);
    EXPECT_EQ(*log_, c.dismissing);
    log_->clear();
  }
}

TEST_F(ViewControllerTest, PresentingOrDismissingDuringATransitionOnlyWarns) {
  platform::testing::LogCapture capture;
  // The presented screen asks its presenter to dismiss while its own presentation runs.
  root_->onPrepare = [](StoryboardSegue& segue) {
    auto dest = std::static_pointer_cast<Screen_>(segue.destinationViewController());
    std::weak_ptr<Screen_> weakDest = dest;
    dest->onLoad = [weakDest] {
      if (auto d = weakDest.lock()) d->presentingViewController()->dismissViewControllerAnimated(false);
    };
  };
  root_->performSegueWithIdentifier("show_card");
  EXPECT_TRUE(capture.contains("while a presentation or dismiss is in progress"));
  platform::testing::advance(1);
  auto card = root_->presentedViewController();
  ASSERT_TRUE(card);

  // Already presenting: a second presentation is refused.
  auto other = std::make_shared<ViewController>();
  root_->presentViewController(other, true);
  EXPECT_TRUE(capture.contains("which is already presenting"));
  EXPECT_EQ(other->presentingViewController(), nullptr);

  // Presenting something that is already presented raises.
  auto top = std::make_shared<ViewController>();
  EXPECT_THROW(top->presentViewController(card, false), Exception);

  // A screen whose view is in no window cannot present.
  auto detached = std::make_shared<ViewController>();
  detached->presentViewController(std::make_shared<ViewController>(), false);
  EXPECT_TRUE(capture.contains("not in the window hierarchy"));
}

TEST_F(ViewControllerTest, UnwindRunsTheActionThenDismissesEveryScreenAbove) {
  Log actions;
  root_->addUnwindAction("unwindHome:", [&](StoryboardSegue& segue) {
    actions.push_back(segue.identifier() + " from " + segue.sourceViewController()->storyboardIdentifier());
  });
  root_->performSegueWithIdentifier("show_card");
  platform::testing::advance(1);
  std::weak_ptr<ViewController> card = root_->presentedViewController();
  card.lock()->performSegueWithIdentifier("show_rest");
  platform::testing::advance(1);
  std::weak_ptr<ViewController> rest = card.lock()->presentedViewController();
  ASSERT_FALSE(rest.expired());
  bool cardTornDown = false;
  bool restTornDown = false;
  card.lock()->addTeardown([&] { cardTornDown = true; });
  rest.lock()->addTeardown([&] { restTornDown = true; });

  log_->clear();
  rest.lock()->performSegueWithIdentifier("back_home");
  EXPECT_EQ(actions, Log{"back_home from rest"});
  EXPECT_EQ(log_->front(), "rest: prepare back_home (destination loaded)");
  platform::testing::advance(ViewController::kTransitionDuration);

  EXPECT_EQ(root_->presentedViewController(), nullptr);
  EXPECT_EQ(window_->topViewController(), root_);
  EXPECT_EQ(window_->subviews().size(), 1u);
  // Nothing holds the dismissed screens any longer: they are gone and their teardowns ran.
  EXPECT_TRUE(card.expired());
  EXPECT_TRUE(rest.expired());
  EXPECT_TRUE(cardTornDown);
  EXPECT_TRUE(restTornDown);
}

TEST_F(ViewControllerTest, UnwindWithoutAnAnsweringScreenDoesNothing) {
  platform::testing::LogCapture capture;
  root_->performSegueWithIdentifier("show_card");
  platform::testing::advance(1);
  auto card = root_->presentedViewController();
  card->performSegueWithIdentifier("back_home");
  platform::testing::advance(1);
  EXPECT_EQ(root_->presentedViewController(), card);
  EXPECT_TRUE(capture.contains("found no view controller answering to unwindHome:"));
}

class SheetDelegate : public AdaptivePresentationControllerDelegate {
 public:
  void presentationControllerDidAttemptToDismiss(PresentationController&) override { log.push_back("attempt"); }
  void presentationControllerWillDismiss(PresentationController&) override { log.push_back("will"); }
  void presentationControllerDidDismiss(PresentationController& c) override {
    log.push_back(c.presentedViewController() && !c.presentingViewController() ? "did (gone)" : "did (still up)");
  }
  Log log;
};

TEST_F(ViewControllerTest, SwipingASheetAwayTellsThePresentationDelegateOnceItIsGone) {
  struct Case {
    const char* name;
    std::optional<ModalPresentationStyle> style;
    bool modalInPresentation;
    bool swiped;
    Log delegateLog;
  };
  const Case cases[] = {
      {"page sheet", std::nullopt, false, true, {"will", "did (gone)"}},
      {"full screen", ModalPresentationStyle::FullScreen, false, false, {}},
      {"modal in presentation", std::nullopt, true, false, {"attempt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto delegate = std::make_shared<SheetDelegate>();
    root_->onPrepare = [&](StoryboardSegue& segue) {
      auto d = segue.destinationViewController();
      if (c.style) d->setModalPresentationStyle(*c.style);
      d->setModalInPresentation(c.modalInPresentation);
      d->presentationController()->setDelegate(delegate);
    };
    root_->performSegueWithIdentifier("open_settings");
    EXPECT_FALSE(UIDriver::swipeDownSheet());  // not while it is still coming up
    platform::testing::advance(1);
    EXPECT_EQ(UIDriver::swipeDownSheet(), c.swiped);
    EXPECT_EQ(delegate->log, c.swiped ? Log{"will"} : c.delegateLog);
    platform::testing::advance(1);
    EXPECT_EQ(delegate->log, c.delegateLog);
    EXPECT_EQ(root_->presentedViewController() == nullptr, c.swiped);
    if (!c.swiped) {
      root_->dismissViewControllerAnimated(false);
      platform::testing::runUntilIdle();
      EXPECT_EQ(delegate->log, c.delegateLog);  // an app's own dismissal is not the user's swipe
    }
  }
}

TEST_F(ViewControllerTest, ViewLoadsOnceOnFirstUse) {
  auto screen = std::make_shared<Screen_>("lazy", log_);
  EXPECT_FALSE(screen->isViewLoaded());
  auto view = screen->view();
  EXPECT_EQ(screen->view(), view);
  EXPECT_EQ(*log_, Log{"lazy: viewDidLoad"});
}


// Another layer may replace the runtime class's appearance methods: the replacement runs after the
// screen's own override, while a presented screen still counts as being presented, and the
// platform's original implementation is restored afterwards.
TEST_F(ViewControllerTest, AppearanceReachesTheReplaceableRuntimeMethodsAfterTheOverride) {
  const auto cls = viewControllerClass();
  std::vector<std::string> seen;
  const auto record = [&](std::string_view what) {
    return runtime::implementation(std::function([&seen, what = std::string(what)](ViewController& controller, bool) {
      seen.push_back(what + (controller.isBeingPresented() ? " presented" : ""));
    }));
  };
  const auto appear = cls->replaceInstanceMethod(kViewDidAppearSelector, record("appear"));
  const auto disappear = cls->replaceInstanceMethod(kViewDidDisappearSelector, record("disappear"));
  root_->performSegueWithIdentifier("show_rest");
  platform::testing::advance(ViewController::kTransitionDuration);
  EXPECT_EQ(log_->back(), "root: viewDidDisappear");
  EXPECT_EQ(seen, (std::vector<std::string>{"appear presented", "disappear"}));
  cls->replaceInstanceMethod(kViewDidAppearSelector, appear);
  cls->replaceInstanceMethod(kViewDidDisappearSelector, disappear);
}

}  // namespace
}  // namespace platform::ui_tests
