// The dynamic loader as the crash reporter sees it: the list of mapped images, callbacks for
// images added and removed, and address lookups. Images come from dl_iterate_phdr; libraries
// opened and closed through dyld::open and dyld::close fire the callbacks, a removal while the
// image is still mapped (so its headers can be read), as the phone's loader does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/system_info.h"

namespace platform::dyld {

// `header` is where the image's first byte is mapped (its ELF header here); `slide` is the
// difference between the addresses the image was linked for and where it lies.
using ImageCallback = void (*)(const void* header, std::intptr_t slide);

using Image = LoadedImage;

// Calls `callback` at once for every image mapped now, then for each image mapped later.
void registerAddImageCallback(ImageCallback callback);
void registerRemoveImageCallback(ImageCallback callback);
// Tests: forgets every registered callback.
void unregisterAllCallbacksForTesting();

// Every mapped image in load order, the main program first (with its real path).
std::vector<Image> images();
const void* mainExecutableHeader();
// The path of an image mapped now, or being removed; nullopt for an unknown header.
std::optional<std::string> pathForHeader(const void* header);

// dlopen / dlclose with the callbacks fired for the images that appear and go. `error` receives
// the loader's message on failure.
void* open(const char* path, int mode, std::string* error = nullptr);
int close(void* handle);

struct AddressInfo {
  std::string imagePath;
  const void* imageBase = nullptr;
  std::string symbolName;  // empty when the loader cannot name it
  const void* symbolAddress = nullptr;
};
// What the loader knows of an address; nullopt when no image holds it.
std::optional<AddressInfo> addressInfo(const void* address);

}  // namespace platform::dyld
