// Links between the view tree, its animations and its layout (internal to the UI library).
#pragma once

#include <vector>

namespace platform {

class View;

namespace view_internal {
// The views of a subtree that has just left its window.
void subtreeLeftWindow(const std::vector<View*>& views);
// Whether a running animation keeps touches from the view.
bool animationBlocksTouches(const View& view);
// Places every constrained view below `root`.
void resolveConstraints(View& root);
}  // namespace view_internal

}  // namespace platform
