#include "tools/terminal/view_renderer.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <sstream>

#include "platform/testing/ui_driver.h"
#include "platform/ui/button.h"
#include "platform/ui/gesture_recognizer.h"
#include "platform/ui/image.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"

namespace terminal {

namespace {

using platform::Rect;

// Below this opacity a view is drawn faint.
constexpr double kFaintAlpha = 0.6;
// A background at least this opaque hides what lies beneath; a fainter one only tints it.
constexpr double kOpaqueAlpha = 0.5;
// An image covering this share of the canvas is art behind (or over) the whole screen: it shows
// as a tag in the corner instead of a box around everything.
constexpr double kFullScreenShare = 0.9;
// Words in a picture's name that mean "off" or "not yet".
constexpr std::string_view kHollowWords[] = {"incomplete", "off", "false", "empty", "inactive"};

struct CellRect {
  int c0 = 0, r0 = 0, c1 = 0, r1 = 0;
  bool empty() const { return c1 <= c0 || r1 <= r0; }
  int width() const { return c1 - c0; }
  int height() const { return r1 - r0; }
};

CellRect toCells(const Rect& r, CellSize cell) {
  if (r.isEmpty()) return {};
  constexpr double kSlack = 1e-6;
  CellRect out;
  out.c0 = static_cast<int>(std::floor(r.minX() / cell.width + kSlack));
  out.r0 = static_cast<int>(std::floor(r.minY() / cell.height + kSlack));
  out.c1 = std::max(out.c0 + 1, static_cast<int>(std::ceil(r.maxX() / cell.width - kSlack)));
  out.r1 = std::max(out.r0 + 1, static_cast<int>(std::ceil(r.maxY() / cell.height - kSlack)));
  return out;
}

Rgb toRgb(const platform::Color& c) {
  auto channel = [](double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
  return Rgb{channel(c.red), channel(c.green), channel(c.blue)};
}

Rgb blend(Rgb over, double alpha, std::optional<Rgb> under) {
  Rgb base = under.value_or(Rgb{0, 0, 0});
  auto mix = [alpha](std::uint8_t a, std::uint8_t b) {
    return static_cast<std::uint8_t>(std::lround(alpha * a + (1 - alpha) * b));
  };
  return Rgb{mix(over.r, base.r), mix(over.g, base.g), mix(over.b, base.b)};
}

// A label placed once the whole tree is drawn: an image button's name, or (with no name) the
// number badge of another tappable view.
struct PendingButton {
  int row;
  CellRect frame;
  CellRect clip;
  std::string prefix;
  std::string name;
  Style style;
};

struct Painter {
  Grid& grid;
  CellSize cell;
  platform::Size canvas;
  const std::vector<Tappable>& numbered;
  int fullScreenTagEnd = 0;
  std::vector<PendingButton> pendingButtons{};

  int numberOf(const platform::View& view) const {
    for (const auto& t : numbered) {
      if (t.view.get() == &view) return t.number;
    }
    return 0;
  }

  void background(const platform::View& view, const CellRect& area, double alpha) {
    auto color = view.backgroundColor();
    if (!color) return;
    const double a = color->alpha * alpha;
    if (a < 0.01) return;
    const Rgb rgb = toRgb(*color);
    if (a >= kOpaqueAlpha) {
      // Opaque: what lies beneath is hidden; the colour still mixes with it by its opacity.
      for (int r = area.r0; r < area.r1; ++r) {
        for (int c = area.c0; c < area.c1; ++c) {
          if (!grid.contains(c, r)) continue;
          std::optional<Rgb> under = grid.at(c, r).style.bg;
          grid.fill(c, r, c + 1, r + 1, blend(rgb, a, under), true);
        }
      }
      coverPending(area, true);
      return;
    }
    coverPending(area, false);
    grid.restyle(area.c0, area.r0, area.c1, area.r1, [&](Style& s) {
      s.bg = blend(rgb, a, s.bg);
      s.dim = true;
    });
  }

  // One line of text on `row`, aligned in [c0, c1) and free to overflow it within the clip. Text
  // of less than full opacity mixes its colour with the background it stands on.
  void line(const std::string& text, int row, const CellRect& frame, const CellRect& clip,
            platform::TextAlignment alignment, Style style, double opacity = 1) {
    if (row < clip.r0 || row >= clip.r1) return;
    const int width = displayWidth(text);
    int start = frame.c0;
    if (alignment == platform::TextAlignment::Center) {
      start = frame.c0 + (frame.width() - width) / 2;
      if (frame.width() < width) start = frame.c0 - (width - frame.width() + 1) / 2;
    } else if (alignment == platform::TextAlignment::Right) {
      start = frame.c1 - width;
    }
    if (style.fg && opacity < 1) {
      const int c = std::clamp(start + width / 2, 0, grid.cols() - 1);
      if (grid.contains(c, row) && grid.at(c, row).style.bg) style.fg = blend(*style.fg, opacity, grid.at(c, row).style.bg);
    }
    grid.put(start, row, text, style, clip.c0, clip.c1);
  }

  static std::vector<std::string> wrap(const std::string& text, int width) {
    std::vector<std::string> lines;
    std::istringstream paragraphs(text);
    std::string paragraph;
    while (std::getline(paragraphs, paragraph)) {
      std::istringstream words(paragraph);
      std::string word;
      std::string current;
      while (words >> word) {
        if (current.empty()) {
          current = word;
        } else if (displayWidth(current) + 1 + displayWidth(word) <= width) {
          current += " " + word;
        } else {
          lines.push_back(current);
          current = word;
        }
      }
      lines.push_back(current);
    }
    return lines;
  }

  Style textStyle(platform::Color color, double alpha, bool bold) const {
    Style style;
    style.fg = toRgb(color);
    style.bold = bold;
    style.dim = alpha * color.alpha < kFaintAlpha;
    return style;
  }

  void label(const platform::Label& view, const CellRect& frame, const CellRect& clip, double alpha) {
    if (view.text().empty()) return;
    const auto& font = view.font();
    const bool bold = font.weight() >= platform::FontWeight::Semibold || font.pointSize() >= 30;
    const Style style = textStyle(view.textColor(), alpha, bold);
    std::vector<std::string> lines;
    if (view.numberOfLines() == 1) {
      std::string first = view.text().substr(0, view.text().find('\n'));
      if (first.size() < view.text().size()) first += "…";
      lines.push_back(first);
    } else {
      lines = wrap(view.text(), std::max(frame.width(), 1));
      std::size_t limit = static_cast<std::size_t>(std::max(frame.height(), 1));
      if (view.numberOfLines() > 0) limit = std::min(limit, static_cast<std::size_t>(view.numberOfLines()));
      if (lines.size() > limit) {
        lines.resize(limit);
        lines.back() += "…";
      }
    }
    const int count = static_cast<int>(lines.size());
    const int first = frame.r0 + (frame.height() - count) / 2;
    const double opacity = alpha * view.textColor().alpha;
    for (int i = 0; i < count; ++i) line(lines[i], first + i, frame, clip, view.textAlignment(), style, opacity);
  }

  void button(const platform::Button& view, const CellRect& frame, const CellRect& clip, double alpha) {
    const int number = numberOf(view);
    std::string prefix = number > 0 ? std::to_string(number) + " " : "";
    Style style = textStyle(view.currentTitleColor(), alpha, false);
    style.dim = style.dim || isDisabled(view);
    style.reverse = view.isHighlighted() || view.isSelected();
    const int row = frame.r0 + frame.height() / 2;
    if (auto title = view.currentTitle(); title && !title->empty()) {
      line("[" + prefix + *title + "]", row, frame, clip, platform::TextAlignment::Center, style,
           alpha * view.currentTitleColor().alpha);
      return;
    }
    // An image button is often narrower than its name: it is placed once the neighbours on its
    // row are known, so that each takes its share of the room between them.
    style.fg.reset();
    pendingButtons.push_back({row, frame, clip, std::move(prefix), gridName(view), style});
  }

  // The name an image button shows: its picture's, which tells its state ("play", "pause"),
  // without the "_btn" every control picture carries.
  static std::string gridName(const platform::Button& view) {
    std::string name;
    if (auto image = view.currentImage(); image && !image->name().empty()) {
      name = image->name();
      for (auto at = name.find("_btn"); at != std::string::npos; at = name.find("_btn")) name.erase(at, 4);
    }
    return name.empty() ? nameOf(view) : name;
  }

  // Something opaque drawn over pending buttons hides them; something translucent fades them.
  void coverPending(const CellRect& area, bool opaque) {
    auto covered = [&](const PendingButton& b) {
      return b.row >= area.r0 && b.row < area.r1 && b.frame.c0 < area.c1 && b.frame.c1 > area.c0;
    };
    if (opaque) {
      std::erase_if(pendingButtons, covered);
      return;
    }
    for (auto& b : pendingButtons) {
      if (covered(b)) b.style.dim = true;
    }
  }

  void placePendingButtons() {
    std::stable_sort(pendingButtons.begin(), pendingButtons.end(), [](const auto& a, const auto& b) {
      return a.row != b.row ? a.row < b.row : a.frame.c0 < b.frame.c0;
    });
    for (std::size_t i = 0; i < pendingButtons.size(); ++i) {
      const auto& b = pendingButtons[i];
      int left = b.clip.c0;
      int right = b.clip.c1;
      // The gap to a neighbour on the same row is shared half and half.
      if (i > 0 && pendingButtons[i - 1].row == b.row) {
        left = std::max(left, (pendingButtons[i - 1].frame.c1 + b.frame.c0 + 1) / 2);
      }
      if (i + 1 < pendingButtons.size() && pendingButtons[i + 1].row == b.row) {
        right = std::min(right, (b.frame.c1 + pendingButtons[i + 1].frame.c0) / 2);
      }
      left = std::min(left, b.frame.c0);
      right = std::max(right, b.frame.c1);
      const int room = right - left;
      std::string text = "[" + b.prefix + b.name + "]";
      if (b.name.empty()) {
        text = "[" + b.prefix + "]";
      } else if (displayWidth(text) > room) {
        text = "[" + b.prefix + truncateToWidth(b.name, std::max(room - 2 - displayWidth(b.prefix), 1)) + "]";
      }
      const int width = displayWidth(text);
      const int centre = b.frame.c0 + b.frame.width() / 2;
      const int start = std::clamp(centre - width / 2, left, std::max(left, right - width));
      grid.put(start, b.row, text, b.style, b.clip.c0, b.clip.c1);
    }
    pendingButtons.clear();
  }

  void textField(const platform::TextField& view, const CellRect& frame, const CellRect& clip, double alpha) {
    const int number = numberOf(view);
    std::string prefix = number > 0 ? std::to_string(number) + " " : "";
    const bool empty = view.text().empty();
    std::string text = empty ? view.placeholder() : view.text();
    const int room = std::max(frame.width() - 2 - displayWidth(prefix), 1);
    // The end of a long text is where the typing happens.
    auto glyphs = glyphsOf(text);
    int width = displayWidth(text);
    std::size_t skip = 0;
    while (width > room && skip < glyphs.size()) width -= glyphs[skip++].width;
    std::string shown;
    for (std::size_t i = skip; i < glyphs.size(); ++i) shown += glyphs[i].text;
    std::string padded = shown + std::string(static_cast<std::size_t>(std::max(room - width, 0)), ' ');
    Style style = textStyle(view.textColor(), alpha, false);
    style.underline = true;
    style.dim = style.dim || empty || isDisabled(view);
    line("[" + prefix + padded + "]", frame.r0 + frame.height() / 2, frame, clip, platform::TextAlignment::Left, style,
         alpha * view.textColor().alpha);
  }

  void image(const platform::ImageView& view, const Rect& rect, const CellRect& frame, const CellRect& clip,
             double alpha) {
    auto picture = view.isHighlighted() && view.highlightedImage() ? view.highlightedImage() : view.image();
    if (!picture) return;  // a missing image leaves the view empty
    std::string name = picture->name().empty() ? "image" : picture->name();
    Style style;
    style.fg = Rgb{150, 150, 150};
    style.dim = alpha < kFaintAlpha || (isControl(view) && isDisabled(view));
    const double share = (rect.width() * rect.height()) / std::max(canvas.width * canvas.height, 1.0);
    if (share >= kFullScreenShare) {
      std::string tag = "‹" + name + "›";
      const int row = std::max(frame.r0, clip.r0);
      const int start = std::max(frame.c0, clip.c0) + 1;
      const int end = grid.put(start, row, tag, style, clip.c0, clip.c1);
      // A shorter tag over a longer one must not leave the longer one's tail behind.
      if (fullScreenTagEnd > end) grid.put(end, row, std::string(fullScreenTagEnd - end, ' '), style, clip.c0, clip.c1);
      fullScreenTagEnd = std::max(end, fullScreenTagEnd);
      return;
    }
    // Narrower than this, a picture shows no useful part of its name.
    constexpr int kNarrowestNamed = 6;
    if (frame.height() >= 3 && frame.width() >= kNarrowestNamed) {
      const int w = frame.width();
      auto edge = [&](int row, const std::string& left, const std::string& right, const std::string& title) {
        std::string text = left;
        int used = 1;
        if (!title.empty()) {
          std::string t = truncateToWidth(" " + title + " ", w - 3);
          text += "─" + t;
          used += 1 + displayWidth(t);
        }
        for (; used < w - 1; ++used) text += "─";
        text += right;
        grid.put(frame.c0, row, text, style, clip.c0, clip.c1);
      };
      if (frame.r0 >= clip.r0 && frame.r0 < clip.r1) edge(frame.r0, "┌", "┐", name);
      if (frame.r1 - 1 >= clip.r0 && frame.r1 - 1 < clip.r1) edge(frame.r1 - 1, "└", "┘", "");
      for (int r = std::max(frame.r0 + 1, clip.r0); r < std::min(frame.r1 - 1, clip.r1); ++r) {
        grid.put(frame.c0, r, "│", style, clip.c0, clip.c1);
        grid.put(frame.c1 - 1, r, "│", style, clip.c0, clip.c1);
      }
      return;
    }
    if (frame.width() < kNarrowestNamed) {
      // Too small for a name: a mark, hollow for a picture of something not (yet) on, as the
      // period dots are.
      const bool hollow = std::any_of(std::begin(kHollowWords), std::end(kHollowWords),
                                      [&](std::string_view word) { return name.find(word) != std::string::npos; });
      line(hollow ? "○" : "●", frame.r0 + frame.height() / 2, frame, clip, platform::TextAlignment::Center, style);
      return;
    }
    line(truncateToWidth("‹" + name + "›", frame.width()), frame.r0 + frame.height() / 2, frame, clip,
         platform::TextAlignment::Left, style);
  }

  void draw(const platform::View& view, platform::Point origin, const Rect& clip, double inheritedAlpha) {
    if (view.isHidden()) return;
    const double alpha = inheritedAlpha * view.alpha();
    if (alpha < 0.01) return;
    const Rect rect = view.frame().offsetBy(origin.x, origin.y);
    const Rect visible = rect.intersection(clip);
    if (!visible.isEmpty()) {
      const CellRect area = toCells(visible, cell);
      const CellRect frame = toCells(rect, cell);
      const CellRect clipCells = toCells(clip, cell);
      background(view, area, alpha);
      if (auto* l = dynamic_cast<const platform::Label*>(&view)) {
        label(*l, frame, clipCells, alpha);
      } else if (auto* b = dynamic_cast<const platform::Button*>(&view)) {
        button(*b, frame, clipCells, alpha);
      } else if (auto* f = dynamic_cast<const platform::TextField*>(&view)) {
        textField(*f, frame, clipCells, alpha);
      } else if (auto* i = dynamic_cast<const platform::ImageView*>(&view)) {
        image(*i, rect, frame, clipCells, alpha);
      }
      // Any other tappable view (a custom control, a picture with a tap recognizer) wears its
      // number as a badge over whatever its subviews draw.
      const bool drawsNumber =
          dynamic_cast<const platform::Button*>(&view) || dynamic_cast<const platform::TextField*>(&view);
      if (const int number = numberOf(view); number > 0 && !drawsNumber) {
        Style style;
        style.bold = true;
        pendingButtons.push_back({frame.r0 + frame.height() / 2, frame, clipCells, std::to_string(number), "", style});
      }
    }
    const Rect inner = view.clipsToBounds() ? visible : clip;
    if (inner.isEmpty()) return;
    for (const auto& sub : view.subviews()) draw(*sub, rect.origin, inner, alpha);
  }
};

bool hasTapRecognizer(const platform::View& view) {
  return std::any_of(view.gestureRecognizers().begin(), view.gestureRecognizers().end(), [](const auto& g) {
    return g->isEnabled() && dynamic_cast<const platform::TapGestureRecognizer*>(g.get()) != nullptr;
  });
}

struct Found {
  Rect rect;
  std::shared_ptr<platform::View> view;
};

// Visible candidates in reading order: top to bottom, then left to right.
std::vector<Found> onScreen(const std::shared_ptr<platform::Window>& window,
                            const std::function<bool(const platform::View&, const Rect&)>& keep) {
  window->layoutIfNeeded();
  auto candidates = platform::UIDriver::findAll([](const platform::View& v) { return isControl(v); }, window);
  std::vector<Found> found;
  for (auto& view : candidates) {
    if (!platform::UIDriver::isVisible(*view)) continue;
    Rect rect = view->convertRectToView(view->bounds(), nullptr).intersection(window->bounds());
    if (rect.isEmpty() || !keep(*view, rect)) continue;
    found.push_back({rect, view});
  }
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (std::lround(a.rect.minY()) != std::lround(b.rect.minY())) return a.rect.minY() < b.rect.minY();
    return a.rect.minX() < b.rect.minX();
  });
  return found;
}

}  // namespace

bool isControl(const platform::View& view) {
  return dynamic_cast<const platform::Control*>(&view) != nullptr || hasTapRecognizer(view);
}

bool isDisabled(const platform::View& view) {
  if (auto* control = dynamic_cast<const platform::Control*>(&view); control && !control->isEnabled()) return true;
  if (!view.isUserInteractionEnabled()) return true;
  for (auto up = view.superview(); up; up = up->superview()) {
    if (!up->isUserInteractionEnabled()) return true;
  }
  return false;
}

std::string nameOf(const platform::View& view) {
  if (auto* b = dynamic_cast<const platform::Button*>(&view)) {
    if (auto title = b->currentTitle(); title && !title->empty()) return *title;
  }
  if (!view.accessibilityIdentifier().empty()) return view.accessibilityIdentifier();
  if (auto* b = dynamic_cast<const platform::Button*>(&view)) {
    if (auto image = b->currentImage(); image && !image->name().empty()) return image->name();
  }
  if (auto* i = dynamic_cast<const platform::ImageView*>(&view)) {
    if (auto image = i->image(); image && !image->name().empty()) return image->name();
  }
  return std::string(view.className());
}

std::vector<Tappable> tappableControls(const std::shared_ptr<platform::Window>& window) {
  if (!window) return {};
  auto found = onScreen(window, [&](const platform::View& view, const Rect& rect) {
    auto hit = window->hitTest(platform::Point{rect.midX(), rect.midY()});
    return hit && hit->isDescendantOfView(view);
  });
  std::vector<Tappable> tappables;
  for (auto& f : found) {
    tappables.push_back({static_cast<int>(tappables.size()) + 1, f.view, nameOf(*f.view)});
  }
  return tappables;
}

std::vector<Tappable> disabledControls(const std::shared_ptr<platform::Window>& window) {
  if (!window) return {};
  auto found = onScreen(window, [&](const platform::View& view, const Rect& rect) {
    if (!isDisabled(view)) return false;
    // Uncovered: a touch there falls through it to what lies beneath, not to something on top.
    auto hit = window->hitTest(platform::Point{rect.midX(), rect.midY()});
    return !hit || hit->isDescendantOfView(view) || view.isDescendantOfView(*hit);
  });
  std::vector<Tappable> disabled;
  for (auto& f : found) disabled.push_back({0, f.view, nameOf(*f.view)});
  return disabled;
}

Grid renderViewTree(const platform::View& root, platform::Size canvas, CellSize cell,
                    const std::vector<Tappable>& numbered) {
  const int cols = std::max(1, static_cast<int>(std::ceil(canvas.width / cell.width - 1e-6)));
  const int rows = std::max(1, static_cast<int>(std::ceil(canvas.height / cell.height - 1e-6)));
  Grid grid(cols, rows);
  Painter painter{grid, cell, canvas, numbered};
  // The root is drawn where it stands inside the canvas (a window stands at the origin).
  const Rect canvasRect(0, 0, canvas.width, canvas.height);
  painter.draw(root, platform::Point{0, 0}, canvasRect, 1.0);
  painter.placePendingButtons();
  return grid;
}

}  // namespace terminal
