#include "sdk/crash/launch/rlz_file_reader.h"

#include <cstring>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/json.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

bool isUTF8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

std::optional<platform::Value::Array> RLZFileReadSections(const char* path, bool deleteOnFailure,
                                                          const RLZSectionTransform& transform) {
  if (!RLZIsValidPointer(path)) {
    RLZSDKLogError("Error: input path is invalid\n");
    return std::nullopt;
  }
  bool truncated = false;
  const auto data = platform::FileManager::defaultManager().contentsOfRegularFile(path, kRLZMaxRecordFileBytes,
                                                                                  nullptr, &truncated);
  if (!data) {
    if (deleteOnFailure) RLZUnlinkIfExists(path);
    RLZSDKLogWarn("Unable to read file %s\n", path);
    return std::nullopt;
  }
  if (truncated) RLZSDKLogWarn("Reading only the start of the oversized file %s\n", path);
  const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
  platform::Value::Array sections;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    // The JSON decoder is only handed well-formed text: invalid bytes skip the line.
    if (line.empty() || !isUTF8(line)) continue;
    auto parsed = platform::JSON::parse(line);
    if (!parsed || !parsed->isDictionary()) continue;
    if (transform) {
      auto replaced = transform(*parsed);
      if (!replaced) continue;
      parsed = std::move(replaced);
    }
    sections.push_back(std::move(*parsed));
  }
  return sections;
}

std::optional<std::string> RLZFileHexDecodeString(const char* hex) {
  if (!hex) return std::nullopt;
  const std::size_t length = std::strlen(hex);
  std::string bytes;
  bytes.reserve(length / 2);
  for (std::size_t i = 0; i + 1 < length; i += 2) {
    const std::uint8_t high = RLZFileHexCharValue(hex[i]);
    const std::uint8_t low = RLZFileHexCharValue(hex[i + 1]);
    if (high == 255 || low == 255) break;
    const auto byte = static_cast<char>((high << 4) | low);
    if (byte == 0) break;
    bytes.push_back(byte);
  }
  if (!isUTF8(bytes)) return std::nullopt;
  return bytes;
}
