// What the front end shows of a session: the phone's screen in a box titled with the device, and
// beside it the side pane (virtual time, the app's state, the phone's pose and sensors, what
// plays, pending notifications, the numbered controls and the last trace events).
#pragma once

#include <string>
#include <vector>

#include "tools/terminal/grid.h"
#include "tools/terminal/view_renderer.h"

namespace terminal {

class Session;

// What only the interactive loop knows.
struct LoopState {
  bool interactive = false;
  double speed = 1;
  bool paused = false;
};

// "HH:MM:SS" of a number of seconds (hours may exceed 24).
std::string formatElapsed(double seconds);

// The side pane's lines, at most `rows` of them, each cut to `width` columns.
std::vector<std::string> paneLines(const Session& session, const std::vector<Tappable>& controls, const LoopState& loop,
                                   int width, int rows);

// The phone's screen drawn with cells of `cell` points, boxed, with the pane of `paneWidth`
// columns to its right (none when 0); at least `minRows` tall.
Grid composeFrame(const Session& session, CellSize cell, int paneWidth, int minRows, const LoopState& loop, bool color);

}  // namespace terminal
