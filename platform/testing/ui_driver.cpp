#include "platform/testing/ui_driver.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/runloop/run_loop.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/button.h"
#include "platform/ui/device.h"
#include "platform/ui/label.h"
#include "platform/ui/screen.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace platform::UIDriver {

namespace {

void collect(const std::shared_ptr<View>& view, std::vector<std::shared_ptr<View>>& out) {
  out.push_back(view);
  for (const auto& sub : view->subviews()) collect(sub, out);
}

// The centre of what of the view lies inside its window.
std::optional<std::pair<std::shared_ptr<Window>, Point>> touchPoint(const View& view) {
  auto window = view.window();
  if (!window) return std::nullopt;
  window->layoutIfNeeded();
  Rect r = view.convertRectToView(view.bounds(), nullptr).intersection(window->bounds());
  if (r.isEmpty()) return std::nullopt;
  return std::make_pair(window, Point{r.midX(), r.midY()});
}

// Whether a touch at the point would reach the view (or something inside it).
bool reaches(Window& window, Point point, const View& view) {
  auto hit = window.hitTest(point);
  return hit && hit->isDescendantOfView(view);
}

std::string textOf(const View& view) {
  if (auto* l = dynamic_cast<const Label*>(&view)) return l->text();
  if (auto* b = dynamic_cast<const Button*>(&view)) return b->currentTitle().value_or("");
  if (auto* f = dynamic_cast<const TextField*>(&view)) return f->text();
  return {};
}

}  // namespace

void reset() {
  Application::reset();
  Storyboard::unregisterAll();
  Device::current().reset();
  Screen::main().reset();
  RunLoop::main().setSuspended(false);
}

std::shared_ptr<Window> keyWindow() { return Window::keyWindow(); }

std::shared_ptr<ViewController> topViewController() {
  auto window = keyWindow();
  return window ? window->topViewController() : nullptr;
}

std::vector<std::shared_ptr<View>> findAll(const std::function<bool(const View&)>& match,
                                           const std::shared_ptr<View>& root) {
  std::shared_ptr<View> start = root ? root : std::static_pointer_cast<View>(keyWindow());
  std::vector<std::shared_ptr<View>> all;
  if (start) collect(start, all);
  std::reverse(all.begin(), all.end());  // drawing order reversed: front-most first
  std::vector<std::shared_ptr<View>> found;
  for (auto& v : all) {
    if (match(*v)) found.push_back(v);
  }
  return found;
}

std::shared_ptr<View> findByTag(std::int64_t tag, const std::shared_ptr<View>& root) {
  auto found = findAll([tag](const View& v) { return v.tag() == tag; }, root);
  return found.empty() ? nullptr : found.front();
}

std::shared_ptr<View> findByText(std::string_view text, const std::shared_ptr<View>& root) {
  auto found = findAll(
      [text](const View& v) {
        std::string t = textOf(v);
        return !t.empty() && t == text;
      },
      root);
  return found.empty() ? nullptr : found.front();
}

std::shared_ptr<View> findByAccessibilityIdentifier(std::string_view identifier, const std::shared_ptr<View>& root) {
  auto found = findAll([identifier](const View& v) { return v.accessibilityIdentifier() == identifier; }, root);
  return found.empty() ? nullptr : found.front();
}

bool isVisible(const View& view) {
  if (!view.window()) return false;
  for (const View* v = &view; v;) {
    if (v->isHidden() || v->alpha() < 0.01) return false;
    auto s = v->superview();
    v = s.get();
  }
  return true;
}

bool tapAt(Point point) {
  auto window = keyWindow();
  return window && window->tap(point);
}

bool tap(const View& view) {
  auto target = touchPoint(view);
  if (!target) return false;
  auto& [window, point] = *target;
  bool reached = reaches(*window, point, view);
  window->tap(point);
  return reached;
}

bool swipe(const View& view, SwipeDirection direction) {
  auto target = touchPoint(view);
  if (!target) return false;
  auto& [window, point] = *target;
  bool reached = reaches(*window, point, view);
  return window->swipe(point, direction) && reached;
}

bool longPressBegin(const View& view) {
  auto target = touchPoint(view);
  if (!target) return false;
  auto& [window, point] = *target;
  bool reached = reaches(*window, point, view);
  return window->beginPress(point) && reached;
}

bool longPressEnd() {
  auto window = keyWindow();
  return window && window->endPress();
}

bool longPressCancel() {
  auto window = keyWindow();
  return window && window->cancelPress();
}

std::shared_ptr<AlertController> presentedAlert() {
  return std::dynamic_pointer_cast<AlertController>(topViewController());
}

bool chooseAlertAction(std::string_view title) {
  auto alert = presentedAlert();
  return alert && alert->chooseActionWithTitle(title);
}

bool swipeDownSheet() {
  auto top = topViewController();
  if (!top || !top->presentingViewController()) return false;
  return top->presentationController()->userSwipedDown();
}

bool typeText(TextField& field, std::string_view text) {
  bool all = true;
  for (std::size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    all = field.insertText(std::string(text.substr(i, len))) && all;
    i += len;
  }
  return all;
}

bool pasteText(TextField& field, std::string_view text) { return field.insertText(std::string(text)); }

bool deleteBackward(TextField& field) { return field.deleteBackward(); }

bool pressReturn(TextField& field) { return field.pressReturn(); }

void setProximityCovered(bool covered) { Device::current().setSensorCovered(covered); }

void enterBackground() {
  if (auto app = Application::shared()) app->enterBackground();
}

void enterForeground() {
  if (auto app = Application::shared()) app->enterForeground();
}

void terminate() {
  if (auto app = Application::shared()) app->terminate();
}

}  // namespace platform::UIDriver
