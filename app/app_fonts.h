// The fonts the app ships (installed from Debian by scripts/setup), registered under the names
// its screens ask for, as the app's bundle would declare them.
#pragma once

#include <string_view>

// A freely licensed handwriting face ("Breip", package fonts-breip) draws it.
inline constexpr std::string_view kHandwritingFontName = "SoulMarker_Handwriting_Font";

void registerAppFonts();
