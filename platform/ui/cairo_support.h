// Shared cairo helpers of the drawing code (internal to the UI library).
#pragma once

#include <cairo.h>

#include <string>
#include <string_view>

#include "platform/ui/font.h"

namespace platform::cairo_support {

// Selects the font's face and size on the context, with metrics that scale linearly with the
// size (no hinting), so a measurement does not depend on where the text is drawn.
void selectFont(cairo_t* cr, const Font& font);
// The advance of one line of text.
double lineWidth(cairo_t* cr, std::string_view text);
// The text with every malformed UTF-8 sequence replaced by U+FFFD: cairo refuses malformed text
// and a context that has refused something stays broken.
std::string validUTF8(std::string_view text);

}  // namespace platform::cairo_support
