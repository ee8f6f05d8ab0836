// Naming the frames of a crashed run's threads on the device, with the images loaded now: an
// address of the crashed run is translated into this run's address space through its image's
// UUID, named with dladdr and demangled, and the result goes into a companion file (the crash
// file's name + ".symbolicated") shipped beside the raw records. Only images loaded again in this
// process (same build) resolve; other frames stay unnamed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

class RLZInternalReport;
class VDZStackFrame;

using RLZThreadArray = std::vector<std::vector<std::shared_ptr<VDZStackFrame>>>;

class RLZSymbolResolver {
 public:
  bool loadBinaryImagesFromFile(const std::string& path);
  // The first recorded image holding the address.
  const platform::Value::Dictionary* loadedBinaryImageForPC(std::uint64_t address) const;
  // This process's load address of the image with the UUID.
  std::optional<std::uint64_t> currentLoadAddressForUUID(const std::string& uuid) const;
  std::shared_ptr<VDZStackFrame> frameForAddress(std::uint64_t address) const;
  bool updateStackFrame(VDZStackFrame& frame) const;

 private:
  std::vector<platform::Value::Dictionary> binaryImages_;  // by ascending "base"
};

class RLZDemangleOperation {
 public:
  static std::optional<std::string> demangleSymbol(const char* symbol);
  static std::optional<std::string> demangleCppSymbol(const char* symbol);
  static std::optional<std::string> demangleBlockInvokeCppSymbol(const char* symbol);
  // A non-null demangled raw symbol replaces the symbol; the raw symbol stays mangled.
  static void demangleFrames(RLZThreadArray& threads);
};

class RLZProcessReportOperation {
 public:
  RLZProcessReportOperation(std::shared_ptr<RLZInternalReport> report, std::shared_ptr<RLZSymbolResolver> resolver)
      : report_(std::move(report)), symbolResolver_(std::move(resolver)) {}

  static std::optional<RLZThreadArray> threadArrayFromFile(const std::string& path);
  static bool symbolicateFile(const std::string& path, const RLZSymbolResolver& resolver);
  static bool serializeSymbolicatedFrames(const RLZThreadArray& threads, const std::string& outputPath);
  void main();

 private:
  std::shared_ptr<RLZInternalReport> report_;
  std::shared_ptr<RLZSymbolResolver> symbolResolver_;
};
