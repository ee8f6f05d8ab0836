// Named data of the app's asset catalogue: the bytes of "<Assets>/<name>.<any extension>", where
// <Assets> is the "Assets" folder of the main bundle's resources (resources/Assets in the source
// tree). Sounds there must be WAV files that AudioPlayer decodes, whatever their extension: small
// silent placeholders such as placeholderSound (audio_player.h) writes, or
// `sox -n -r 8000 -c 1 -b 8 NAME.wav trim 0 1`.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/foundation/value.h"

namespace platform {

class DataAsset {
 public:
  // Null when no asset has that name (or it cannot be read).
  static std::shared_ptr<DataAsset> make(const std::string& name);

  const std::string& name() const { return name_; }
  const Data& data() const { return data_; }
  // The file's extension as a type ("wav", "mp3", ...).
  const std::string& typeIdentifier() const { return type_; }

  // Where assets are looked up; tests and tools point it elsewhere. Empty restores the default.
  static void setSearchDirectory(std::filesystem::path directory);
  static std::filesystem::path searchDirectory();

  DataAsset(std::string name, Data data, std::string type)
      : name_(std::move(name)), data_(std::move(data)), type_(std::move(type)) {}

 private:
  std::string name_;
  Data data_;
  std::string type_;
};

}  // namespace platform
