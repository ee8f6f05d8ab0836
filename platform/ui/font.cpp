#include "platform/ui/font.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

#include "platform/foundation/format.h"
#include "platform/foundation/thread_safety.h"
#include "platform/ui/cairo_support.h"

namespace platform {

namespace {

constexpr const char* kSystemFamily = "DejaVu Sans";

struct Registered {
  std::string family;
  FontWeight weight;
};

Mutex& registryMutex() {
  static Mutex m;
  return m;
}
std::map<std::string, Registered, std::less<>>& registry() REQUIRES(registryMutex()) {
  static std::map<std::string, Registered, std::less<>> r;
  return r;
}

// One scratch context for measuring; cairo contexts are not shared between threads, hence the lock.
struct Measurer {
  Mutex mutex;
  cairo_surface_t* surface GUARDED_BY(mutex) = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
  cairo_t* cr GUARDED_BY(mutex) = cairo_create(surface);
};
// Lives for the process: fonts are measured until exit.
Measurer& measurer() {
  static Measurer* m = new Measurer;
  return *m;
}

// A context that went into an error state is made anew, so one bad call cannot break every
// later measurement.
cairo_t* usableContext(Measurer& m) REQUIRES(m.mutex) {
  if (cairo_status(m.cr) != CAIRO_STATUS_SUCCESS) {
    cairo_destroy(m.cr);
    m.cr = cairo_create(m.surface);
  }
  return m.cr;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    auto nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

}  // namespace

// fontconfig keeps its parsed configuration for the life of the process; the leak checker of
// sanitized builds must not report it.
#if defined(__SANITIZE_ADDRESS__)
#define FOCUS_FONT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FOCUS_FONT_ASAN 1
#endif
#endif
#ifdef FOCUS_FONT_ASAN
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

namespace cairo_support {

void selectFont(cairo_t* cr, const Font& font) {
  bool bold = font.weight() >= FontWeight::Semibold;
  cairo_select_font_face(cr, font.familyName().c_str(), CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, font.pointSize());
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  cairo_set_font_options(cr, options);
  cairo_font_options_destroy(options);
}

double lineWidth(cairo_t* cr, std::string_view text) {
  if (text.empty()) return 0;
  std::string s = validUTF8(text);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, s.c_str(), &extents);
  return extents.x_advance;
}

std::string validUTF8(std::string_view text) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (lead < 0x80) {
      len = 1;
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
      cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
      cp = lead & 0x07;
    }
    bool ok = len > 0 && i + len <= text.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates, code points past the last plane and NUL (which would end the
    // C string early) are malformed too.
    if (ok && len == 1 && cp == 0) ok = false;
    if (ok && len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (ok && len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ok = false;
    if (ok) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      out.append(kReplacement);
      ++i;
    }
  }
  return out;
}

}  // namespace cairo_support

Font Font::systemFont(double pointSize, FontWeight weight) {
  return Font(std::string(kSystemFontName), kSystemFamily, pointSize, weight);
}

Font Font::named(std::string_view name, double pointSize) {
  MutexLock lock(registryMutex());
  auto it = registry().find(name);
  if (it == registry().end()) return systemFont(pointSize);
  return Font(std::string(name), it->second.family, pointSize, it->second.weight);
}

bool Font::isInstalled(std::string_view name) {
  MutexLock lock(registryMutex());
  return registry().contains(name);
}

void Font::registerFont(std::string name, std::string family, FontWeight weight) {
  MutexLock lock(registryMutex());
  registry()[std::move(name)] = Registered{std::move(family), weight};
}

Font Font::withSize(double pointSize) const {
  Font f = *this;
  f.size_ = pointSize;
  return f;
}

double Font::ascender() const {
  auto& m = measurer();
  MutexLock lock(m.mutex);
  cairo_support::selectFont(usableContext(m), *this);
  cairo_font_extents_t e;
  cairo_font_extents(m.cr, &e);
  return e.ascent;
}

double Font::descender() const {
  auto& m = measurer();
  MutexLock lock(m.mutex);
  cairo_support::selectFont(usableContext(m), *this);
  cairo_font_extents_t e;
  cairo_font_extents(m.cr, &e);
  return -e.descent;
}

double Font::lineHeight() const {
  auto& m = measurer();
  MutexLock lock(m.mutex);
  cairo_support::selectFont(usableContext(m), *this);
  cairo_font_extents_t e;
  cairo_font_extents(m.cr, &e);
  return e.height;
}

Size Font::sizeOfText(std::string_view text) const {
  if (text.empty()) return Size{0, 0};
  auto& m = measurer();
  MutexLock lock(m.mutex);
  cairo_support::selectFont(usableContext(m), *this);
  cairo_font_extents_t e;
  cairo_font_extents(m.cr, &e);
  auto lines = splitLines(text);
  double width = 0;
  for (auto line : lines) width = std::max(width, cairo_support::lineWidth(m.cr, line));
  return Size{width, e.height * static_cast<double>(lines.size())};
}

std::string Font::description() const { return format("<Font: %@ %gpt>", name_, size_); }

}  // namespace platform
