// What tests (and the terminal front end) do to the app's screens and device: touches found by
// hit testing, sheets swiped away, alert choices, typing, the proximity sensor and the app's
// lifecycle. Main thread. Touch helpers lay the window out first and answer whether the touch
// reached the view meant: a covered or disabled control is not reached (the touch goes to
// whatever is on top there).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/geometry.h"
#include "platform/ui/gesture_recognizer.h"

namespace platform {
class AlertController;
class TextField;
class View;
class ViewController;
class Window;
}  // namespace platform

namespace platform::UIDriver {

// A fresh device (the system's model, sensor uncovered) and screen, no application and no
// registered storyboards.
void reset();

std::shared_ptr<Window> keyWindow();
// The screen in front (the end of the key window's presentation chain), or null.
std::shared_ptr<ViewController> topViewController();

// Views of the key window, front-most first (a null root searches the whole window).
std::vector<std::shared_ptr<View>> findAll(const std::function<bool(const View&)>& match,
                                           const std::shared_ptr<View>& root = nullptr);
std::shared_ptr<View> findByTag(std::int64_t tag, const std::shared_ptr<View>& root = nullptr);
// A label's text, a button's current title or a text field's text.
std::shared_ptr<View> findByText(std::string_view text, const std::shared_ptr<View>& root = nullptr);
std::shared_ptr<View> findByAccessibilityIdentifier(std::string_view identifier,
                                                    const std::shared_ptr<View>& root = nullptr);
// Whether the view and its ancestors are shown (in a window, not hidden, alpha 0.01 or more).
bool isVisible(const View& view);

// Touches at a point in window coordinates; false when nothing took the touch.
bool tapAt(Point point);
// Touches at the centre of the view's visible part.
bool tap(const View& view);
bool swipe(const View& view, SwipeDirection direction);
bool longPressBegin(const View& view);
bool longPressEnd();
// The system cancels the held press: no tap, a recognised press ends as cancelled.
bool longPressCancel();

// The presented alert in front, or null.
std::shared_ptr<AlertController> presentedAlert();
// Chooses the alert's action by title; false when there is no such alert or action.
bool chooseAlertAction(std::string_view title);
// The user swipes the sheet in front down.
bool swipeDownSheet();

// Typing into a field: one keystroke per character (each asks the delegate), a paste of the
// whole text at once, the delete key, the return key. Answer whether the field took it (for
// typing: every keystroke).
bool typeText(TextField& field, std::string_view text);
bool pasteText(TextField& field, std::string_view text);
bool deleteBackward(TextField& field);
bool pressReturn(TextField& field);

// The world around the device.
void setProximityCovered(bool covered);
void enterBackground();
void enterForeground();
void terminate();

}  // namespace platform::UIDriver
