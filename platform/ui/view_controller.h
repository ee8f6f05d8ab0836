// View controllers: a screen's view with its load and appearance callbacks, modal presentation
// and dismissal (completions after the transition time on the platform clock), segues of the
// storyboard and unwinding.
//
// End of life: a controller lives as long as something holds it; the presenter holds what it
// presents and lets go once the dismissal has finished, so a dismissed screen that nobody else
// holds is destroyed then. Its teardown actions run at that moment: remove observers and
// invalidate timers there, and capture weakSelf<T>() in blocks, so nothing calls a destroyed
// screen.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/ui/geometry.h"

namespace platform {

namespace runtime {
class Class;
}

class PresentationController;
class Storyboard;
class StoryboardSegue;
class View;

// The platform's style values; Automatic shows a page sheet.
enum class ModalPresentationStyle {
  Automatic = -2,
  FullScreen = 0,
  PageSheet = 1,
  FormSheet = 2,
  OverFullScreen = 5,
};

enum class StatusBarStyle { Default = 0, LightContent = 1, DarkContent = 3 };

// The platform's own part of the appearance callbacks lives in the runtime class
// "UIViewController" under these selectors (receiver: the controller, argument: bool animated),
// so it can be looked up and replaced at run time. It runs after the screen's override, as a
// screen's call to the base implementation would.
inline constexpr std::string_view kViewControllerClassName = "UIViewController";
inline constexpr std::string_view kViewDidAppearSelector = "viewDidAppear:";
inline constexpr std::string_view kViewDidDisappearSelector = "viewDidDisappear:";
std::shared_ptr<const runtime::Class> viewControllerClass();

class ViewController : public virtual runtime::Object, public std::enable_shared_from_this<ViewController> {
 public:
  // How long an animated presentation or dismissal takes.
  static constexpr double kTransitionDuration = 0.35;

  ViewController();
  virtual ~ViewController();
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // The kind shown by the terminal front end and in descriptions.
  virtual std::string_view className() const { return "ViewController"; }

  // The view, loaded on first access: loadView, then viewDidLoad.
  std::shared_ptr<View> view();
  std::shared_ptr<View> viewIfLoaded() const { return view_; }
  bool isViewLoaded() const { return view_ != nullptr; }
  void setView(std::shared_ptr<View> view);

  // Builds the view; the default is an empty view as large as the main screen.
  virtual void loadView();
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool /*animated*/) {}
  virtual void viewDidAppear(bool /*animated*/) {}
  virtual void viewWillDisappear(bool /*animated*/) {}
  virtual void viewDidDisappear(bool /*animated*/) {}
  virtual void didReceiveMemoryWarning() {}
  // What the platform calls when the controller appeared or disappeared: the override above,
  // then the runtime class's implementation.
  void sendViewDidAppear(bool animated);
  void sendViewDidDisappear(bool animated);
  virtual bool prefersStatusBarHidden() const { return false; }
  virtual StatusBarStyle preferredStatusBarStyle() const { return StatusBarStyle::Default; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }

  // The storyboard that made the controller and its identifier there (null and empty otherwise).
  std::shared_ptr<Storyboard> storyboard() const { return storyboard_; }
  const std::string& storyboardIdentifier() const { return storyboardIdentifier_; }

  // Presentation. Presenting while this controller already presents another, or from a view
  // that is not in a window, only logs a warning, as does dismissing while a transition runs.
  // Presenting a controller that is already presented raises NSInvalidArgumentException.
  void presentViewController(const std::shared_ptr<ViewController>& controller, bool animated,
                             std::function<void()> completion = {});
  // Dismisses what this controller presents, or else this controller itself.
  void dismissViewControllerAnimated(bool animated, std::function<void()> completion = {});
  std::shared_ptr<ViewController> presentingViewController() const { return presenting_.lock(); }
  std::shared_ptr<ViewController> presentedViewController() const { return presented_; }
  bool isBeingPresented() const { return beingPresented_; }
  bool isBeingDismissed() const { return beingDismissed_; }
  ModalPresentationStyle modalPresentationStyle() const { return style_; }
  void setModalPresentationStyle(ModalPresentationStyle style) { style_ = style; }
  // A sheet the user may not swipe away.
  bool isModalInPresentation() const { return modalInPresentation_; }
  void setModalInPresentation(bool modal) { modalInPresentation_ = modal; }
  // Made on first use, also before the controller is presented.
  std::shared_ptr<PresentationController> presentationController();

  // Segues of the controller's storyboard. An unknown identifier raises
  // NSInvalidArgumentException. The source's prepareForSegue runs before the destination's view
  // loads.
  void performSegueWithIdentifier(std::string_view identifier, const std::any& sender = {});
  virtual void prepareForSegue(StoryboardSegue& /*segue*/, const std::any& /*sender*/) {}
  // An unwind action this controller answers to: it runs when an unwind segue naming it reaches
  // this controller, before the screens above are dismissed.
  void addUnwindAction(std::string action, std::function<void(StoryboardSegue&)> handler);
  virtual bool canPerformUnwindSegueAction(std::string_view action, ViewController& from, const std::any& sender) const;

  // Runs when the controller is destroyed, in the order added.
  void addTeardown(std::function<void()> teardown);
  // A weak reference of the derived type, for blocks that must not keep the screen alive.
  template <class T>
  std::weak_ptr<T> weakSelf() {
    return std::static_pointer_cast<T>(shared_from_this());
  }

  std::string description() const;

 private:
  friend class Storyboard;
  friend class PresentationController;
  bool chainInTransition() const;

  std::shared_ptr<View> view_;
  std::string title_;
  std::shared_ptr<Storyboard> storyboard_;
  std::string storyboardIdentifier_;
  std::weak_ptr<ViewController> presenting_;
  std::shared_ptr<ViewController> presented_;
  std::shared_ptr<PresentationController> presentationController_;
  ModalPresentationStyle style_ = ModalPresentationStyle::Automatic;
  bool modalInPresentation_ = false;
  bool beingPresented_ = false;
  bool beingDismissed_ = false;
  std::map<std::string, std::function<void(StoryboardSegue&)>, std::less<>> unwindActions_;
  std::vector<std::function<void()>> teardowns_;
};

// Told when the user dismisses a sheet by swiping it away (not when the app dismisses it).
class AdaptivePresentationControllerDelegate {
 public:
  virtual ~AdaptivePresentationControllerDelegate() = default;
  virtual bool presentationControllerShouldDismiss(PresentationController& /*controller*/) { return true; }
  virtual void presentationControllerDidAttemptToDismiss(PresentationController& /*controller*/) {}
  virtual void presentationControllerWillDismiss(PresentationController& /*controller*/) {}
  virtual void presentationControllerDidDismiss(PresentationController& /*controller*/) {}
};

class PresentationController {
 public:
  explicit PresentationController(std::weak_ptr<ViewController> presented) : presented_(std::move(presented)) {}
  std::shared_ptr<ViewController> presentedViewController() const { return presented_.lock(); }
  std::shared_ptr<ViewController> presentingViewController() const;
  std::shared_ptr<AdaptivePresentationControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<AdaptivePresentationControllerDelegate> delegate) { delegate_ = std::move(delegate); }

  // The user swipes the sheet down. Full-screen presentations and controllers that are modal in
  // presentation stay (the latter tell the delegate of the attempt). Answers whether the
  // dismissal started; the delegate hears presentationControllerDidDismiss once it has finished.
  bool userSwipedDown();

 private:
  std::weak_ptr<ViewController> presented_;
  std::weak_ptr<AdaptivePresentationControllerDelegate> delegate_;
};

}  // namespace platform
