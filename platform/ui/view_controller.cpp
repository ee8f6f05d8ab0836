#include "platform/ui/view_controller.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/console.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/runtime/class.h"
#include "platform/ui/screen.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"

namespace platform {

namespace {

ModalPresentationStyle resolved(ModalPresentationStyle style) {
  return style == ModalPresentationStyle::Automatic ? ModalPresentationStyle::PageSheet : style;
}

void afterTransition(bool animated, std::function<void()> block) {
  if (animated) {
    DispatchQueue::main()->after(ViewController::kTransitionDuration, std::move(block));
  } else {
    DispatchQueue::main()->async(std::move(block));
  }
}

void sendToClass(ViewController& controller, std::string_view selector, bool animated) {
  if (const auto imp = viewControllerClass()->instanceMethod(selector)) (*imp)(controller, {std::any(animated)});
}

}  // namespace

std::shared_ptr<const runtime::Class> viewControllerClass() {
  static const auto cls = [] {
    runtime::ClassDefinition definition;
    definition.name = std::string(kViewControllerClassName);
    definition.superclass = runtime::rootClass();
    const auto nothing = runtime::implementation([](ViewController&, bool) {});
    definition.instanceMethods.emplace(std::string(kViewDidAppearSelector), nothing);
    definition.instanceMethods.emplace(std::string(kViewDidDisappearSelector), nothing);
    return runtime::registerClassOnce(std::move(definition));
  }();
  return cls;
}

ViewController::ViewController() = default;

void ViewController::sendViewDidAppear(bool animated) {
  viewDidAppear(animated);
  sendToClass(*this, kViewDidAppearSelector, animated);
}

void ViewController::sendViewDidDisappear(bool animated) {
  viewDidDisappear(animated);
  sendToClass(*this, kViewDidDisappearSelector, animated);
}

ViewController::~ViewController() {
  auto teardowns = std::move(teardowns_);
  for (auto& t : teardowns) {
    if (t) t();
  }
}

std::shared_ptr<View> ViewController::view() {
  if (!view_) {
    loadView();
    if (!view_) view_ = std::make_shared<View>(Screen::main().bounds());
    viewDidLoad();
  }
  return view_;
}

void ViewController::setView(std::shared_ptr<View> view) { view_ = std::move(view); }

void ViewController::loadView() {
  view_ = std::make_shared<View>(Screen::main().bounds());
  view_->setBackgroundColor(Color::whiteColor());
}

bool ViewController::chainInTransition() const {
  for (const ViewController* c = this; c; c = c->presented_.get()) {
    if (c->beingPresented_ || c->beingDismissed_) return true;
  }
  return false;
}

void ViewController::presentViewController(const std::shared_ptr<ViewController>& controller, bool animated,
                                           std::function<void()> completion) {
  if (!controller) return;
  if (controller.get() == this || controller->presentingViewController() || controller->presented_) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("Application tried to present modally a view controller %@ that is already being presented.",
                           controller->description()));
  }
  if (presented_) {
    Console::log(format("Warning: Attempt to present %@ on %@ which is already presenting %@",
                        controller->description(), description(), presented_->description()));
    return;
  }
  auto window = view_ ? view_->window() : nullptr;
  if (!window) {
    Console::log(format("Warning: Attempt to present %@ on %@ whose view is not in the window hierarchy!",
                        controller->description(), description()));
    return;
  }
  if (beingPresented_ || beingDismissed_) {
    Console::log(format("Warning: Attempt to present %@ on %@ while a presentation is in progress!",
                        controller->description(), description()));
    return;
  }
  auto self = shared_from_this();
  controller->presenting_ = self;
  presented_ = controller;
  controller->beingPresented_ = true;
  bool covers = resolved(controller->style_) == ModalPresentationStyle::FullScreen;
  auto v = controller->view();
  v->setFrame(window->bounds());
  controller->viewWillAppear(animated);
  if (covers) viewWillDisappear(animated);
  window->addSubview(v);
  afterTransition(animated, [self, controller, animated, covers, completion = std::move(completion)] {
    // As on the device, a controller still counts as being presented while it hears that it appeared.
    controller->sendViewDidAppear(animated);
    controller->beingPresented_ = false;
    if (covers) self->sendViewDidDisappear(animated);
    if (completion) completion();
  });
}

void ViewController::dismissViewControllerAnimated(bool animated, std::function<void()> completion) {
  auto target = presented_ ? shared_from_this() : presentingViewController();
  if (!target) return;
  if (target->chainInTransition()) {
    Console::log(
        format("Warning: Attempt to dismiss from view controller %@ while a presentation or dismiss is in "
               "progress!",
               target->description()));
    return;
  }
  std::vector<std::shared_ptr<ViewController>> chain;
  for (auto c = target->presented_; c; c = c->presented_) chain.push_back(c);
  for (auto& c : chain) c->beingDismissed_ = true;
  bool uncovers = resolved(chain.front()->style_) == ModalPresentationStyle::FullScreen;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) (*it)->viewWillDisappear(animated);
  if (uncovers) target->viewWillAppear(animated);
  afterTransition(animated, [target, chain, animated, uncovers, completion = std::move(completion)] {
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      if (auto v = (*it)->view_) v->removeFromSuperview();
    }
    target->presented_.reset();
    for (auto& c : chain) {
      c->presenting_.reset();
      c->presented_.reset();
      c->beingDismissed_ = false;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) (*it)->sendViewDidDisappear(animated);
    if (uncovers) target->sendViewDidAppear(animated);
    if (completion) completion();
  });
}

std::shared_ptr<PresentationController> ViewController::presentationController() {
  if (!presentationController_) {
    presentationController_ = std::make_shared<PresentationController>(weak_from_this());
  }
  return presentationController_;
}

void ViewController::performSegueWithIdentifier(std::string_view identifier, const std::any& sender) {
  const SegueDefinition* definition = storyboard_ ? storyboard_->segueWithIdentifier(identifier) : nullptr;
  if (!definition) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("Receiver (%@) has no segue with identifier '%@'", description(), identifier));
  }
  SegueDefinition segueDefinition = *definition;
  auto self = shared_from_this();
  if (segueDefinition.kind == SegueKind::Unwind) {
    std::shared_ptr<ViewController> destination;
    for (auto c = presentingViewController(); c; c = c->presentingViewController()) {
      if (c->canPerformUnwindSegueAction(segueDefinition.unwindAction, *this, sender)) {
        destination = c;
        break;
      }
    }
    if (!destination) {
      Console::log(format("Unwind segue '%@' found no view controller answering to %@", identifier,
                          segueDefinition.unwindAction));
      return;
    }
    StoryboardSegue segue(segueDefinition.identifier, self, destination);
    prepareForSegue(segue, sender);
    if (auto it = destination->unwindActions_.find(segueDefinition.unwindAction);
        it != destination->unwindActions_.end()) {
      auto handler = it->second;
      handler(segue);
    }
    destination->dismissViewControllerAnimated(segueDefinition.animated);
    return;
  }
  auto destination = storyboard_->instantiateViewControllerWithIdentifier(segueDefinition.destination);
  if (segueDefinition.presentationStyle) destination->setModalPresentationStyle(*segueDefinition.presentationStyle);
  StoryboardSegue segue(segueDefinition.identifier, self, destination);
  prepareForSegue(segue, sender);
  presentViewController(destination, segueDefinition.animated);
}

void ViewController::addUnwindAction(std::string action, std::function<void(StoryboardSegue&)> handler) {
  unwindActions_[std::move(action)] = std::move(handler);
}

bool ViewController::canPerformUnwindSegueAction(std::string_view action, ViewController&, const std::any&) const {
  return unwindActions_.contains(action);
}

void ViewController::addTeardown(std::function<void()> teardown) {
  if (teardown) teardowns_.push_back(std::move(teardown));
}

std::string ViewController::description() const {
  return format("<%@: %p>", std::string(className()), static_cast<const void*>(this));
}

std::shared_ptr<ViewController> PresentationController::presentingViewController() const {
  auto p = presented_.lock();
  return p ? p->presentingViewController() : nullptr;
}

bool PresentationController::userSwipedDown() {
  auto presented = presented_.lock();
  auto presenter = presented ? presented->presentingViewController() : nullptr;
  if (!presenter) return false;
  auto style = resolved(presented->modalPresentationStyle());
  if (style != ModalPresentationStyle::PageSheet && style != ModalPresentationStyle::FormSheet) return false;
  if (presented->chainInTransition() || presenter->beingPresented_ || presenter->beingDismissed_) return false;
  auto d = delegate();
  if (presented->isModalInPresentation() || (d && !d->presentationControllerShouldDismiss(*this))) {
    if (d) d->presentationControllerDidAttemptToDismiss(*this);
    return false;
  }
  if (d) d->presentationControllerWillDismiss(*this);
  presenter->dismissViewControllerAnimated(true, [presented] {
    auto controller = presented->presentationController();
    if (auto delegate = controller->delegate()) delegate->presentationControllerDidDismiss(*controller);
  });
  return true;
}

}  // namespace platform
