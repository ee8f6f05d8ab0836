#include "platform/dyld/dyld.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "platform/foundation/thread_safety.h"

namespace platform::dyld {
namespace {

struct OpenedLibrary {
  int openCount = 0;
  // The images that first appeared when the library was opened: they go when it is closed.
  std::vector<Image> broughtIn;
};

struct Loader {
  RecursiveMutex mutex;
  std::vector<ImageCallback> added GUARDED_BY(mutex);
  std::vector<ImageCallback> removed GUARDED_BY(mutex);
  std::map<const void*, std::string> removing GUARDED_BY(mutex);  // headers whose removal is being announced
  std::map<void*, OpenedLibrary> opened GUARDED_BY(mutex);
};

Loader& loader() {
  static Loader* l = new Loader;  // outlives every static destructor that might close a library
  return *l;
}

std::vector<Image> scanImages() {
  auto found = SystemInfo::mappedImages();
  std::erase_if(found, [](const Image& image) { return image.header == nullptr; });
  return found;
}

bool contains(const std::vector<Image>& list, const void* header) {
  return std::any_of(list.begin(), list.end(), [&](const Image& i) { return i.header == header; });
}

void fire(const std::vector<ImageCallback>& callbacks, const Image& image) {
  for (auto callback : callbacks) callback(image.header, image.slide);
}

}  // namespace

void registerAddImageCallback(ImageCallback callback) {
  auto& l = loader();
  RecursiveMutexLock lock(l.mutex);
  l.added.push_back(callback);
  for (const auto& image : scanImages()) callback(image.header, image.slide);
}

void registerRemoveImageCallback(ImageCallback callback) {
  auto& l = loader();
  RecursiveMutexLock lock(l.mutex);
  l.removed.push_back(callback);
}

void unregisterAllCallbacksForTesting() {
  auto& l = loader();
  RecursiveMutexLock lock(l.mutex);
  l.added.clear();
  l.removed.clear();
}

std::vector<Image> images() { return scanImages(); }

const void* mainExecutableHeader() {
  const auto all = scanImages();
  return all.empty() ? nullptr : all.front().header;
}

std::optional<std::string> pathForHeader(const void* header) {
  auto& l = loader();
  {
    RecursiveMutexLock lock(l.mutex);
    if (auto it = l.removing.find(header); it != l.removing.end()) return it->second;
  }
  for (const auto& image : scanImages()) {
    if (image.header == header) return image.path;
  }
  return std::nullopt;
}

void* open(const char* path, int mode, std::string* error) {
  auto& l = loader();
  RecursiveMutexLock lock(l.mutex);
  const auto before = scanImages();
  void* handle = ::dlopen(path, mode);
  if (!handle) {
    if (error) {
      const char* message = ::dlerror();
      *error = message ? message : "unknown loader error";
    }
    return nullptr;
  }
  auto& entry = l.opened[handle];
  ++entry.openCount;
  for (const auto& image : scanImages()) {
    if (contains(before, image.header)) continue;
    entry.broughtIn.push_back(image);
    fire(l.added, image);
  }
  return handle;
}

int close(void* handle) {
  auto& l = loader();
  RecursiveMutexLock lock(l.mutex);
  auto it = l.opened.find(handle);
  const bool last = it != l.opened.end() && --it->second.openCount == 0;
  if (!last) return ::dlclose(handle);

  // Announce the removal while the images are still mapped, in reverse load order.
  std::vector<Image> going = std::move(it->second.broughtIn);
  l.opened.erase(it);
  std::reverse(going.begin(), going.end());
  const auto before = scanImages();
  for (const auto& image : going) {
    l.removing.emplace(image.header, image.path);
    fire(l.removed, image);
  }
  const int result = ::dlclose(handle);
  const auto after = scanImages();
  for (const auto& image : going) l.removing.erase(image.header);
  // Something else still holds an image announced as gone: it is back. Images that went without
  // having been brought in by this library are announced late, as well as can be.
  for (const auto& image : going) {
    if (contains(after, image.header)) fire(l.added, image);
  }
  for (const auto& image : before) {
    if (!contains(after, image.header) && !contains(going, image.header)) fire(l.removed, image);
  }
  return result;
}

std::optional<AddressInfo> addressInfo(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || !info.dli_fbase) return std::nullopt;
  AddressInfo out;
  out.imageBase = info.dli_fbase;
  out.imagePath = info.dli_fname ? info.dli_fname : "";
  if (!out.imagePath.empty() && out.imagePath.find('/') == std::string::npos) {
    if (auto path = pathForHeader(info.dli_fbase)) out.imagePath = *path;
  }
  out.symbolName = info.dli_sname ? info.dli_sname : "";
  out.symbolAddress = info.dli_saddr;
  return out;
}

}  // namespace platform::dyld
