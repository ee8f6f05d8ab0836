// The pixels behind an Image (internal to the UI library).
#pragma once

#include <cairo.h>

#include "platform/ui/image.h"

namespace platform {

struct Image::Bitmap {
  Bitmap() = default;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap();
  cairo_surface_t* surface = nullptr;  // owned; ARGB32
};

}  // namespace platform
