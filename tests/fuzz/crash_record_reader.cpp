// Record files are read back at launch from disk: any bytes must give sections or nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "sdk/crash/launch/rlz_file_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/fuzz_crash_record_" + std::to_string(getpid()) + ".rlzrecord";
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  const auto sections = RLZFileReadSections(path.c_str(), false);
  if (sections) {
    for (const auto& section : *sections) {
      for (const auto& [key, value] : section.dictionaryOrEmpty()) {
        if (const auto* text = value["msg"].ifString()) (void)RLZFileHexDecodeString(text->c_str());
      }
    }
  }
  const std::string hex(reinterpret_cast<const char*>(data), size);
  (void)RLZFileHexDecodeString(hex.c_str());
  return 0;
}
