// Draws a view tree on a character grid scaled from the screen's points, and finds the controls
// a tap can reach so the keyboard can number them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/geometry.h"
#include "tools/terminal/grid.h"

namespace platform {
class View;
class Window;
}  // namespace platform

namespace terminal {

// A control the user can reach with a tap, numbered from 1 for the keyboard.
struct Tappable {
  int number = 0;
  std::shared_ptr<platform::View> view;
  std::string name;
};

// Controls (and views with a tap recognizer) that a tap at their centre reaches now, in reading
// order: top to bottom, then left to right. Covered, hidden and disabled ones are left out.
std::vector<Tappable> tappableControls(const std::shared_ptr<platform::Window>& window);

// Controls on screen, not covered, that a tap would not operate because they are disabled (a
// control not enabled, or a view or one of its ancestors taking no touches); unnumbered.
std::vector<Tappable> disabledControls(const std::shared_ptr<platform::Window>& window);

// Whether a touch can operate the view at all: a control or a view with a tap recognizer.
bool isControl(const platform::View& view);
// Whether such a view takes no touches now: a control not enabled, or user interaction off on the
// view or an ancestor.
bool isDisabled(const platform::View& view);

// What a view goes by on the grid and in lists: a button's title, else the view's identifier,
// else the name of its image, else its kind.
std::string nameOf(const platform::View& view);

// Points per character cell.
struct CellSize {
  double width = 8;
  double height = 16;
};

// Draws `root` and its visible descendants, back to front, on a grid of
// ceil(canvas.width / cell.width) x ceil(canvas.height / cell.height) cells. Controls listed in
// `numbered` show their number.
Grid renderViewTree(const platform::View& root, platform::Size canvas, CellSize cell,
                    const std::vector<Tappable>& numbered = {});

}  // namespace terminal
