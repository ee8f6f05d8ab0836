#include "sdk/crash/records/rlz_crash_safe.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/mach/vm_read.h"
#include "sdk/crash/records/rlz_allocator.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_defines.h"

bool RLZReadMemory(const void* source, void* destination, size_t length) {
  if (!RLZIsValidPointer(source) || !RLZIsValidPointer(destination)) return false;
  return platform::mach::vmReadOverwrite(source, destination, length);
}

bool RLZReadString(const char* source, const char** outString, size_t maxLength) {
  if (maxLength == 0) return true;
  if (!RLZIsValidPointer(source) || !RLZIsValidPointer(outString)) return false;
  for (size_t i = 0; i < maxLength; ++i) {
    char byte;
    if (!RLZReadMemory(source + i, &byte, 1)) return false;
    if (byte == 0) break;
  }
  *outString = source;
  return true;
}

const char* RLZDupString(const char* string) {
  if (!string) return nullptr;
  const size_t length = strlen(string) + 1;
  auto* copy = static_cast<char*>(RLZAllocatorSafeAllocate(_rlzContext.allocator, length, RLZAllocatorRegionReadable));
  if (copy) memcpy(copy, string, length);
  return copy;
}

bool RLZUnlinkIfExists(const char* path) {
  if (unlink(path) == 0) return true;
  return errno == ENOENT;
}

void RLZRedactUUIDs(char* string) {
  if (!RLZIsValidPointer(string)) return;
  constexpr size_t kUUIDLength = 36;
  for (char* open = strchr(string, '('); open; open = strchr(open + 1, '(')) {
    char* close = strchr(open, ')');
    if (!close) return;
    if (static_cast<size_t>(close - open - 1) == kUUIDLength) {
      for (char* c = open + 1; c < close; ++c) {
        if (*c != '-') *c = '*';
      }
      return;
    }
  }
}

void RLZHexEncodeByte(uint8_t byte, char* out) {
  constexpr char kDigits[] = "0123456789abcdef";
  out[0] = kDigits[byte >> 4];
  out[1] = kDigits[byte & 0xF];
}

void RLZHexEncodeBytes(const void* bytes, size_t length, char* out) {
  memset(out, 0, 2 * length + 1);
  const auto* in = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < length; ++i) RLZHexEncodeByte(in[i], out + 2 * i);
}

uint8_t RLZFileHexCharValue(char character) {
  if (character >= '0' && character <= '9') return static_cast<uint8_t>(character - '0');
  if (character >= 'a' && character <= 'f') return static_cast<uint8_t>(character - 'a' + 10);
  if (character >= 'A' && character <= 'F') return static_cast<uint8_t>(character - 'A' + 10);
  return 255;
}

void RLZUUIDBytesToString(const uint8_t* uuid, char* out) { RLZHexEncodeBytes(uuid, 16, out); }
