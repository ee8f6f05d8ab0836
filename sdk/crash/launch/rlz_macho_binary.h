// Read-only models over the Mach-O reader: a binary file with its slices, one slice's facts, a
// debug-symbol bundle and a code-mapping file.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/crash/records/rlz_macho.h"

namespace platform {
class Bundle;
}

// One architecture slice (the C reader's RLZMachOSlice, as an object).
class RLZMachOSliceObject {
 public:
  explicit RLZMachOSliceObject(RLZMachOSlice slice);
  static std::shared_ptr<RLZMachOSliceObject> runningSlice();

  std::string architectureName() const { return RLZMachOSliceGetArchitectureName(slice_); }
  const std::string& uuid() const { return uuid_; }
  const std::vector<std::string>& linkedDylibs() const { return linkedDylibs_; }
  RLZMachOVersion minimumOSVersion() const { return minimumOSVersion_; }
  RLZMachOVersion linkedSDKVersion() const { return linkedSDKVersion_; }
  bool encrypted() const { return encrypted_; }

 private:
  RLZMachOSlice slice_;
  std::string uuid_;
  std::vector<std::string> linkedDylibs_;
  RLZMachOVersion minimumOSVersion_{};
  RLZMachOVersion linkedSDKVersion_{};
  bool encrypted_ = false;
};

class RLZMachOBinary {
 public:
  // Null when the file cannot be opened and mapped.
  static std::shared_ptr<RLZMachOBinary> MachOBinaryWithPath(const std::string& path);
  ~RLZMachOBinary();
  RLZMachOBinary(const RLZMachOBinary&) = delete;
  RLZMachOBinary& operator=(const RLZMachOBinary&) = delete;

  const std::string& path() const { return path_; }
  const std::vector<std::shared_ptr<RLZMachOSliceObject>>& slices() const { return slices_; }
  // SHA-1 of the slices' UUIDs in order of architecture name; computed once.
  const std::string& instanceIdentifier();
  void enumerateUUIDs(const std::function<void(const std::string& uuid, const std::string& architecture)>& block) const;
  std::shared_ptr<RLZMachOSliceObject> sliceForArchitecture(const std::string& architecture) const;
  static std::string hashNSString(const std::string& text);

 private:
  RLZMachOBinary() = default;
  std::string path_;
  RLZMachOFile file_{-1, 0, nullptr};
  std::vector<std::shared_ptr<RLZMachOSliceObject>> slices_;
  std::optional<std::string> instanceIdentifier_;
};

class RLZdSYM {
 public:
  static std::shared_ptr<RLZdSYM> dSYMWithURL(const std::string& path);
  std::string bundleIdentifier() const;
  std::string executablePath() const { return binary_->path(); }
  std::string bundleVersion() const;
  std::string shortBundleVersion() const;
  void enumerateUUIDs(const std::function<void(const std::string& uuid, const std::string& architecture)>& block) const {
    binary_->enumerateUUIDs(block);
  }
  const std::shared_ptr<RLZMachOBinary>& binary() const { return binary_; }
  const std::shared_ptr<platform::Bundle>& bundle() const { return bundle_; }

 private:
  std::shared_ptr<platform::Bundle> bundle_;
  std::shared_ptr<RLZMachOBinary> binary_;
};

class RLZCodeMapping {
 public:
  static std::shared_ptr<RLZCodeMapping> mappingWithURL(const std::string& path) {
    auto mapping = std::make_shared<RLZCodeMapping>();
    mapping->path_ = path;
    return mapping;
  }
  const std::string& URL() const { return path_; }
  std::int32_t source() const { return source_; }
  void setSource(std::int32_t source) { source_ = source; }
  const std::string& sourceName() const { return sourceName_; }

 private:
  std::string path_;
  std::int32_t source_ = 0;
  std::string sourceName_;
};
