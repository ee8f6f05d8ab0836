#include "tools/terminal/grid.h"

#include <algorithm>

namespace terminal {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Range {
  char32_t first;
  char32_t last;
};

constexpr Range kWide[] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
};

constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x1160, 0x11FF}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x2028, 0x202E},
    {0x2060, 0x206F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF},
};

bool inRanges(char32_t c, const Range* begin, const Range* end) {
  return std::any_of(begin, end, [c](const Range& r) { return c >= r.first && c <= r.last; });
}

// Decodes one code point at `i`, advancing it; malformed input yields U+FFFD for one byte.
char32_t decode(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra;
  char32_t c;
  char32_t lowest;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, c = b0 & 0x1F, lowest = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, c = b0 & 0x0F, lowest = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, c = b0 & 0x07, lowest = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + extra >= s.size()) {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k <= extra; ++k) {
    const unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < lowest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += extra + 1;
  return c;
}

std::string encode(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

void appendSgr(std::string& out, const Style& style) {
  out += "\x1b[0";
  if (style.bold) out += ";1";
  if (style.dim) out += ";2";
  if (style.underline) out += ";4";
  if (style.reverse) out += ";7";
  if (style.fg) {
    out +=
        ";38;2;" + std::to_string(style.fg->r) + ";" + std::to_string(style.fg->g) + ";" + std::to_string(style.fg->b);
  }
  if (style.bg) {
    out +=
        ";48;2;" + std::to_string(style.bg->r) + ";" + std::to_string(style.bg->g) + ";" + std::to_string(style.bg->b);
  }
  out += "m";
}

}  // namespace

std::vector<Glyph> glyphsOf(std::string_view utf8) {
  std::vector<Glyph> glyphs;
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t c = decode(utf8, i);
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
      glyphs.push_back({" ", 1});
      continue;
    }
    if (inRanges(c, std::begin(kZeroWidth), std::end(kZeroWidth))) continue;
    const int width = inRanges(c, std::begin(kWide), std::end(kWide)) ? 2 : 1;
    glyphs.push_back({encode(c), width});
  }
  return glyphs;
}

int displayWidth(std::string_view utf8) {
  int width = 0;
  for (const auto& g : glyphsOf(utf8)) width += g.width;
  return width;
}

std::string truncateToWidth(std::string_view utf8, int columns) {
  if (columns <= 0) return {};
  auto glyphs = glyphsOf(utf8);
  int total = 0;
  for (const auto& g : glyphs) total += g.width;
  std::string out;
  if (total <= columns) {
    for (const auto& g : glyphs) out += g.text;
    return out;
  }
  int used = 0;
  for (const auto& g : glyphs) {
    if (used + g.width > columns - 1) break;
    out += g.text;
    used += g.width;
  }
  return out + "…";
}

Grid::Grid(int cols, int rows)
    : cols_(std::max(cols, 0)), rows_(std::max(rows, 0)), cells_(static_cast<std::size_t>(cols_) * rows_) {}

void Grid::breakWide(int col, int row) {
  Cell& cell = cells_[index(col, row)];
  if (cell.continuation) {
    cell.continuation = false;
    cell.glyph.assign(1, ' ');
    if (col > 0) cells_[index(col - 1, row)].glyph.assign(1, ' ');
  } else if (col + 1 < cols_ && cells_[index(col + 1, row)].continuation) {
    Cell& next = cells_[index(col + 1, row)];
    next.continuation = false;
    next.glyph.assign(1, ' ');
  }
}

void Grid::setGlyph(int col, int row, const std::string& glyph, int width, const Style& style) {
  auto apply = [&style](Cell& cell) {
    std::optional<Rgb> bg = style.bg ? style.bg : cell.style.bg;
    cell.style = style;
    cell.style.bg = bg;
  };
  breakWide(col, row);
  if (width == 2) breakWide(col + 1, row);
  Cell& cell = cells_[index(col, row)];
  cell.glyph = glyph;
  cell.continuation = false;
  apply(cell);
  if (width == 2) {
    Cell& next = cells_[index(col + 1, row)];
    next.glyph.clear();
    next.continuation = true;
    apply(next);
  }
}

int Grid::put(int col, int row, std::string_view utf8, const Style& style, int clipLeft, int clipRight) {
  if (clipRight < 0 || clipRight > cols_) clipRight = cols_;
  clipLeft = std::max(clipLeft, 0);
  int c = col;
  for (const auto& g : glyphsOf(utf8)) {
    if (row >= 0 && row < rows_) {
      if (c >= clipLeft && c + g.width <= clipRight) {
        setGlyph(c, row, g.text, g.width, style);
      } else if (g.width == 2) {
        // Half of a wide glyph inside the clip: a space keeps the columns honest.
        for (int k = 0; k < 2; ++k) {
          if (c + k >= clipLeft && c + k < clipRight) setGlyph(c + k, row, " ", 1, style);
        }
      }
    }
    c += g.width;
  }
  return c;
}

void Grid::fill(int col0, int row0, int col1, int row1, std::optional<Rgb> bg, bool clear) {
  col0 = std::max(col0, 0);
  row0 = std::max(row0, 0);
  col1 = std::min(col1, cols_);
  row1 = std::min(row1, rows_);
  for (int r = row0; r < row1; ++r) {
    if (clear) {
      // Wide glyphs straddling the edges lose their outside half too.
      if (col0 < col1) {
        breakWide(col0, r);
        breakWide(col1 - 1, r);
      }
    }
    for (int c = col0; c < col1; ++c) {
      Cell& cell = cells_[index(c, r)];
      if (clear) {
        cell = Cell{};
      }
      cell.style.bg = bg;
    }
  }
}

void Grid::blit(const Grid& other, int col, int row) {
  for (int r = 0; r < other.rows_; ++r) {
    for (int c = 0; c < other.cols_; ++c) {
      if (!contains(col + c, row + r)) continue;
      const Cell& source = other.at(c, r);
      if (source.continuation) continue;
      const bool wide = c + 1 < other.cols_ && other.at(c + 1, r).continuation;
      if (wide && !contains(col + c + 1, row + r)) {
        setGlyph(col + c, row + r, " ", 1, source.style);
        continue;
      }
      setGlyph(col + c, row + r, source.glyph, wide ? 2 : 1, source.style);
    }
  }
}

std::string Grid::plainLine(int row) const {
  std::string line;
  for (int c = 0; c < cols_; ++c) {
    const Cell& cell = at(c, row);
    if (!cell.continuation) line += cell.glyph;
  }
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

std::string Grid::plainText() const {
  std::string text;
  for (int r = 0; r < rows_; ++r) {
    text += plainLine(r);
    text += '\n';
  }
  return text;
}

std::string Grid::ansiLine(int row) const {
  std::string out;
  std::optional<Style> current;
  for (int c = 0; c < cols_; ++c) {
    const Cell& cell = at(c, row);
    if (cell.continuation) continue;
    if (!current || !(*current == cell.style)) {
      appendSgr(out, cell.style);
      current = cell.style;
    }
    out += cell.glyph;
  }
  out += "\x1b[0m";
  return out;
}

}  // namespace terminal
