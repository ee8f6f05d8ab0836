// A character grid: what the terminal front end draws into before anything reaches the terminal.
// Each cell holds one glyph with its colours; a wide glyph (CJK, Hangul) takes two cells, the
// second marked as its continuation. Text written here is never trusted: control characters and
// malformed UTF-8 become harmless glyphs, so no text of the app can drive the terminal.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace terminal {

struct Rgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct Style {
  std::optional<Rgb> fg;
  std::optional<Rgb> bg;
  bool bold = false;
  bool dim = false;
  bool underline = false;
  bool reverse = false;
  friend bool operator==(const Style&, const Style&) = default;
};

struct Cell {
  std::string glyph = " ";
  Style style;
  bool continuation = false;  // the right half of a wide glyph
  friend bool operator==(const Cell&, const Cell&) = default;
};

// One displayable glyph of a text and the columns it takes (1 or 2).
struct Glyph {
  std::string text;
  int width = 1;
};

// Splits UTF-8 into glyphs: malformed bytes become U+FFFD, control characters a space,
// zero-width and combining marks are dropped (a cell holds one code point).
std::vector<Glyph> glyphsOf(std::string_view utf8);
// Columns the text takes on a terminal.
int displayWidth(std::string_view utf8);
// The text cut to at most `columns`, ending in "…" when something was cut.
std::string truncateToWidth(std::string_view utf8, int columns);

class Grid {
 public:
  Grid() = default;
  Grid(int cols, int rows);

  int cols() const { return cols_; }
  int rows() const { return rows_; }
  bool contains(int col, int row) const { return col >= 0 && row >= 0 && col < cols_ && row < rows_; }
  const Cell& at(int col, int row) const { return cells_[index(col, row)]; }

  // Writes text starting at `col`, keeping only what falls in [clipLeft, clipRight). The text's
  // style replaces the cells' style, except that a text without a background keeps the cells'.
  // Returns the column after the last glyph written or skipped.
  int put(int col, int row, std::string_view utf8, const Style& style, int clipLeft = 0, int clipRight = -1);
  // Gives every cell of the rectangle [col0, col1) x [row0, row1) the background (clearing the
  // glyphs when `clear`).
  void fill(int col0, int row0, int col1, int row1, std::optional<Rgb> bg, bool clear);
  // Applies `change` to the style of every cell in the rectangle.
  template <class F>
  void restyle(int col0, int row0, int col1, int row1, F change) {
    for (int r = std::max(row0, 0); r < std::min(row1, rows_); ++r) {
      for (int c = std::max(col0, 0); c < std::min(col1, cols_); ++c) change(cells_[index(c, r)].style);
    }
  }
  // Copies `other` with its top left corner at (col, row).
  void blit(const Grid& other, int col, int row);

  // The glyphs, one line per row without trailing spaces.
  std::string plainText() const;
  std::string plainLine(int row) const;
  // One row with SGR escape sequences, ending with the attributes reset.
  std::string ansiLine(int row) const;

 private:
  std::size_t index(int col, int row) const { return static_cast<std::size_t>(row) * cols_ + col; }
  // Places one glyph, breaking any wide glyph it overlaps.
  void setGlyph(int col, int row, const std::string& glyph, int width, const Style& style);
  void breakWide(int col, int row);

  int cols_ = 0;
  int rows_ = 0;
  std::vector<Cell> cells_;
};

}  // namespace terminal
