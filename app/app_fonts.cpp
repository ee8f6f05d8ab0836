#include "app/app_fonts.h"

#include <string>

#include "platform/ui/font.h"

void registerAppFonts() { platform::Font::registerFont(std::string(kHandwritingFontName), "Breip"); }
