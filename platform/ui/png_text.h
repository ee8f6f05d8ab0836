// Text chunks of PNG files. Images drawn by an image context keep the texts drawn into them as
// international-text chunks (keyword "Text", UTF-8), so that whoever reads a saved image back can
// tell what it says without recognising its pixels.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::PNGText {

inline constexpr std::string_view kKeyword = "Text";

// The PNG with one uncompressed international-text chunk per text inserted after its header
// chunk; the data unchanged when it is not a PNG that starts with a header chunk.
Data withTexts(const Data& png, const std::vector<std::string>& texts);

// The uncompressed international-text chunks of keyword "Text", in file order. Chunks that are
// cut short, compressed or malformed are skipped; reading stops at the first chunk whose length
// runs past the end of the data.
std::vector<std::string> texts(const Data& png);

}  // namespace platform::PNGText
