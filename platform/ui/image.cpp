#include "platform/ui/image.h"

#include <cairo.h>

#include <cmath>
#include <cstring>
#include <map>

#include "platform/foundation/bundle.h"
#include "platform/foundation/console.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/json.h"
#include "platform/foundation/thread_safety.h"
#include "platform/ui/image_bitmap.h"
#include "platform/ui/png_text.h"

namespace platform {

Image::Bitmap::~Bitmap() {
  if (surface) cairo_surface_destroy(surface);
}

namespace {

constexpr std::string_view kManifestName = "ImageManifest";

struct Entry {
  Size size;
  std::filesystem::path file;
};

struct Catalog {
  Mutex mutex;
  bool loaded GUARDED_BY(mutex) = false;
  std::map<std::string, Entry, std::less<>> entries GUARDED_BY(mutex);
  std::map<std::string, std::shared_ptr<Image>, std::less<>> cache GUARDED_BY(mutex);
};

Catalog& catalog() {
  static Catalog c;
  return c;
}

bool parseManifest(const std::filesystem::path& manifest, std::map<std::string, Entry, std::less<>>& out,
                   Error* error) {
  auto bytes = FileManager::defaultManager().contentsAtPath(manifest, error);
  if (!bytes) return false;
  auto root = JSON::parse(*bytes, error);
  if (!root) return false;
  if (!root->isDictionary()) {
    setError(error, Error(std::string(kCocoaErrorDomain), kPropertyListReadCorruptError,
                          {{std::string(kLocalizedDescriptionKey), Value("The image manifest is not an object.")}}));
    return false;
  }
  auto folder = manifest.parent_path();
  for (const auto& [name, entry] : root->dictionaryOrEmpty()) {
    const Value& w = entry["width"];
    const Value& h = entry["height"];
    // A malformed entry is skipped with a log line; the rest of the catalogue stays usable.
    if (!w.isNumber() || !h.isNumber() || w.doubleValue() < 0 || h.doubleValue() < 0) {
      Console::log(format("Image manifest %@: entry \"%@\" has no valid size", manifest.string(), name));
      continue;
    }
    Entry e{Size{w.doubleValue(), h.doubleValue()}, {}};
    if (const std::string* file = entry["file"].ifString(); file && !file->empty()) e.file = folder / *file;
    out[name] = std::move(e);
  }
  return true;
}

void loadMainManifestLocked(Catalog& c) REQUIRES(c.mutex) {
  if (c.loaded) return;
  c.loaded = true;
  auto bundle = Bundle::main();
  if (!bundle) return;
  auto path = bundle->pathForResource(kManifestName, "json");
  if (!path) return;
  std::map<std::string, Entry, std::less<>> entries;
  Error error;
  if (!parseManifest(*path, entries, &error)) {
    Console::log(format("Image manifest %@ unreadable: %@", path->string(), error.localizedDescription()));
    return;
  }
  for (auto& [name, e] : entries) c.entries.emplace(name, std::move(e));
}

cairo_status_t appendToData(void* closure, const unsigned char* bytes, unsigned int length) {
  auto* data = static_cast<Data*>(closure);
  data->insert(data->end(), bytes, bytes + length);
  return CAIRO_STATUS_SUCCESS;
}

struct ReadCursor {
  const Data* data;
  std::size_t offset;
};

cairo_status_t readFromData(void* closure, unsigned char* bytes, unsigned int length) {
  auto* cursor = static_cast<ReadCursor*>(closure);
  if (cursor->data->size() - cursor->offset < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(bytes, cursor->data->data() + cursor->offset, length);
  cursor->offset += length;
  return CAIRO_STATUS_SUCCESS;
}

// A grey rectangle in place of art that has no file.
cairo_surface_t* placeholder(Size size, double scale) {
  int w = std::max(1, static_cast<int>(std::lround(size.width * scale)));
  int h = std::max(1, static_cast<int>(std::lround(size.height * scale)));
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgba(cr, 0.8, 0.8, 0.8, 1);
  cairo_paint(cr);
  cairo_destroy(cr);
  return s;
}

}  // namespace

Image::Image(std::string name, Size size, double scale, std::filesystem::path file, std::shared_ptr<Bitmap> bitmap)
    : name_(std::move(name)),
      size_(size),
      scale_(scale > 0 ? scale : 1),
      file_(std::move(file)),
      bitmap_(std::move(bitmap)) {}

Image::~Image() = default;

std::shared_ptr<Image> Image::named(std::string_view name) {
  auto& c = catalog();
  MutexLock lock(c.mutex);
  if (auto it = c.cache.find(name); it != c.cache.end()) return it->second;
  loadMainManifestLocked(c);
  auto it = c.entries.find(name);
  if (it == c.entries.end()) return nullptr;
  auto image = std::make_shared<Image>(std::string(name), it->second.size, 1, it->second.file, nullptr);
  c.cache.emplace(std::string(name), image);
  return image;
}

std::shared_ptr<Image> Image::fromPNGData(const Data& png, double scale) {
  ReadCursor cursor{&png, 0};
  cairo_surface_t* s = cairo_image_surface_create_from_png_stream(readFromData, &cursor);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  if (scale <= 0) scale = 1;
  auto bitmap = std::make_shared<Bitmap>();
  bitmap->surface = s;
  Size size{cairo_image_surface_get_width(s) / scale, cairo_image_surface_get_height(s) / scale};
  return std::make_shared<Image>(std::string(), size, scale, std::filesystem::path(), std::move(bitmap));
}

Mutex Image::bitmapMutex_;

std::shared_ptr<Image::Bitmap> Image::bitmap() const {
  MutexLock lock(bitmapMutex_);
  if (bitmap_) return bitmap_;
  cairo_surface_t* s = nullptr;
  if (!file_.empty()) {
    s = cairo_image_surface_create_from_png(file_.c_str());
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
      Console::log(format("Image \"%@\": cannot read %@", name_, file_.string()));
      cairo_surface_destroy(s);
      s = nullptr;
    }
  }
  if (!s) s = placeholder(size_, scale_);
  bitmap_ = std::make_shared<Bitmap>();
  bitmap_->surface = s;
  return bitmap_;
}

Data Image::pngData() const {
  Data out;
  auto b = bitmap();
  if (!b || !b->surface) return out;
  if (cairo_surface_write_to_png_stream(b->surface, appendToData, &out) != CAIRO_STATUS_SUCCESS) return Data();
  return PNGText::withTexts(out, drawnTexts_);
}

std::string Image::description() const {
  return format("<Image: %@ {%g, %g}>", name_.empty() ? std::string("(drawn)") : name_, size_.width, size_.height);
}

namespace ImageCatalog {

bool load(const std::filesystem::path& manifest, Error* error) {
  std::map<std::string, Entry, std::less<>> entries;
  if (!parseManifest(manifest, entries, error)) return false;
  auto& c = catalog();
  MutexLock lock(c.mutex);
  c.loaded = true;
  c.entries = std::move(entries);
  c.cache.clear();
  return true;
}

void add(std::string name, Size size, std::filesystem::path file) {
  auto& c = catalog();
  MutexLock lock(c.mutex);
  loadMainManifestLocked(c);
  c.cache.erase(name);
  c.entries[std::move(name)] = Entry{size, std::move(file)};
}

void reset() {
  auto& c = catalog();
  MutexLock lock(c.mutex);
  c.loaded = false;
  c.entries.clear();
  c.cache.clear();
}

}  // namespace ImageCatalog

}  // namespace platform
