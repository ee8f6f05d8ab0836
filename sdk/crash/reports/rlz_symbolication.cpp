#include "sdk/crash/reports/rlz_symbolication.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "sdk/crash/context/rlz_binary_image.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/reports/rlz_internal_report.h"
#include "sdk/crash/reports/vdz_stack_frame.h"

namespace {

const platform::Value* member(const platform::Value::Dictionary& dictionary, const char* key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() || it->second.isNull() ? nullptr : &it->second;
}

// Addresses and sizes as written; a value no writer produces (a negative or huge double) is
// converted without overflow by the value's own clamping, never by a bare cast.
std::optional<std::uint64_t> numberOf(const platform::Value* value) {
  if (!value || !value->isNumber() || value->ifBool()) return std::nullopt;
  return value->unsignedValue();
}

void writeOptionalString(RLZFile* file, const char* key, const std::optional<std::string>& value) {
  RLZFileWriteHashEntryString(file, key, value ? value->c_str() : nullptr);
}

}  // namespace

// ---- Resolver ----

bool RLZSymbolResolver::loadBinaryImagesFromFile(const std::string& path) {
  if (path.empty()) return false;
  auto lines = RLZFileReadSections(path.c_str(), false);
  if (!lines || lines->empty()) {
    RLZErrorLog("Failed to read binary image file %@", path);
    return false;
  }
  for (const platform::Value& line : *lines) {
    const auto* sections = line.ifDictionary();
    const auto* load = sections ? member(*sections, "load") : nullptr;
    const auto* entry = load ? load->ifDictionary() : nullptr;
    if (entry && numberOf(member(*entry, "base")) && numberOf(member(*entry, "size"))) binaryImages_.push_back(*entry);
  }
  std::stable_sort(binaryImages_.begin(), binaryImages_.end(), [](const auto& a, const auto& b) {
    return *numberOf(member(a, "base")) < *numberOf(member(b, "base"));
  });
  return true;
}

const platform::Value::Dictionary* RLZSymbolResolver::loadedBinaryImageForPC(std::uint64_t address) const {
  for (const auto& image : binaryImages_) {
    const std::uint64_t base = *numberOf(member(image, "base"));
    const std::uint64_t size = *numberOf(member(image, "size"));
    if (base <= address && address < base + size) return &image;
  }
  return nullptr;
}

std::optional<std::uint64_t> RLZSymbolResolver::currentLoadAddressForUUID(const std::string& uuid) const {
  RLZBinaryImageDetails details;
  std::memset(&details, 0, sizeof details);
  if (!RLZBinaryImageFindImageForUUID(uuid.c_str(), &details)) return std::nullopt;
  return details.node.baseAddress;
}

std::shared_ptr<VDZStackFrame> RLZSymbolResolver::frameForAddress(std::uint64_t address) const {
  auto frame = VDZStackFrame::stackFrameWithAddress(address);
  return updateStackFrame(*frame) ? frame : nullptr;
}

bool RLZSymbolResolver::updateStackFrame(VDZStackFrame& frame) const {
  const std::uint64_t address = frame.address();
  if (address == 0) return false;
  const auto* image = loadedBinaryImageForPC(address);
  if (!image) return false;
  const auto* uuid = member(*image, "uuid");
  if (!uuid || !uuid->ifString()) return false;
  const auto currentBase = currentLoadAddressForUUID(*uuid->ifString());
  if (!currentBase) return false;
  // A new run loads the image elsewhere: the same offset into it is the same instruction.
  const std::uint64_t translated = address - *numberOf(member(*image, "base")) + *currentBase;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(translated), &info) == 0) return false;
  std::uint64_t lookedUp = translated;
  if (info.dli_saddr && reinterpret_cast<std::uint64_t>(info.dli_saddr) == translated) {
    // A return address at a symbol's very start belongs to the code before it.
    lookedUp = translated - 2;
    if (dladdr(reinterpret_cast<void*>(lookedUp), &info) == 0) return false;
  }
  if (info.dli_sname) {
    frame.setSymbol(std::string(info.dli_sname));
    frame.setRawSymbol(std::string(info.dli_sname));
  }
  const auto start = reinterpret_cast<std::uint64_t>(info.dli_saddr);
  if (info.dli_saddr && translated > start) frame.setOffset(translated - start);
  if (const auto* path = member(*image, "path"); path && path->ifString()) {
    frame.setLibrary(std::filesystem::path(*path->ifString()).filename().string());
  }
  return true;
}

// ---- Demangling ----

std::optional<std::string> RLZDemangleOperation::demangleSymbol(const char* symbol) {
  if (!symbol) return std::nullopt;
  if (std::strncmp(symbol, "_Z", 2) == 0) return demangleCppSymbol(symbol);
  if (std::strncmp(symbol, "__Z", 3) == 0) return demangleBlockInvokeCppSymbol(symbol);
  return std::nullopt;
}

std::optional<std::string> RLZDemangleOperation::demangleCppSymbol(const char* symbol) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  if (!demangled || status != 0) {
    std::free(demangled);
    return std::nullopt;
  }
  std::string result(demangled);
  std::free(demangled);
  return result;
}

std::optional<std::string> RLZDemangleOperation::demangleBlockInvokeCppSymbol(const char* symbol) {
  const std::string_view name(symbol);
  const std::size_t at = name.rfind("_block_invoke");
  if (at == std::string_view::npos || at < 5) return std::nullopt;
  const std::string inner(name.substr(1, at - 1));
  auto demangled = demangleSymbol(inner.c_str());
  if (!demangled) return std::nullopt;
  return *demangled + std::string(name.substr(at));
}

void RLZDemangleOperation::demangleFrames(RLZThreadArray& threads) {
  for (auto& thread : threads) {
    for (auto& frame : thread) {
      if (!frame->rawSymbol()) continue;
      if (auto demangled = demangleSymbol(frame->rawSymbol()->c_str())) frame->setSymbol(*demangled);
    }
  }
}

// ---- One report ----

std::optional<RLZThreadArray> RLZProcessReportOperation::threadArrayFromFile(const std::string& path) {
  auto lines = RLZFileReadSections(path.c_str(), false, [](const platform::Value& line) -> std::optional<platform::Value> {
    const auto* sections = line.ifDictionary();
    const auto* threads = sections ? member(*sections, "threads") : nullptr;
    if (!threads) return std::nullopt;
    return *threads;
  });
  if (!lines || lines->empty()) return std::nullopt;
  const auto* threads = lines->front().ifArray();
  if (!threads) return std::nullopt;
  RLZThreadArray result;
  for (const platform::Value& thread : *threads) {
    std::vector<std::shared_ptr<VDZStackFrame>> frames;
    const auto* body = thread.ifDictionary();
    const auto* stacktrace = body ? member(*body, "stacktrace") : nullptr;
    if (const auto* addresses = stacktrace ? stacktrace->ifArray() : nullptr) {
      for (const platform::Value& address : *addresses) {
        if (auto value = numberOf(&address)) frames.push_back(VDZStackFrame::stackFrameWithAddress(*value));
      }
    }
    result.push_back(std::move(frames));
  }
  return result;
}

bool RLZProcessReportOperation::symbolicateFile(const std::string& path, const RLZSymbolResolver& resolver) {
  auto threads = threadArrayFromFile(path);
  if (!threads) return false;
  // Deep stacks and threads parked alike repeat their addresses: each address is named once, and
  // its frame shared by every place it appears.
  std::unordered_map<std::uint64_t, std::shared_ptr<VDZStackFrame>> named;
  RLZThreadArray distinct(1);
  for (auto& thread : *threads) {
    for (auto& frame : thread) {
      auto [it, first] = named.try_emplace(frame->address(), frame);
      if (first) {
        resolver.updateStackFrame(*frame);
        distinct[0].push_back(frame);
      } else {
        frame = it->second;
      }
    }
  }
  RLZDemangleOperation::demangleFrames(distinct);
  serializeSymbolicatedFrames(*threads, path + ".symbolicated");
  return true;
}

bool RLZProcessReportOperation::serializeSymbolicatedFrames(const RLZThreadArray& threads,
                                                            const std::string& outputPath) {
  RLZFile file;
  if (!RLZFileInitWithPathMode(&file, outputPath.c_str(), false, false)) {
    RLZErrorLog("Failed to create output file");
    return false;
  }
  RLZFileWriteSectionStart(&file, "threads");
  RLZFileWriteArrayStart(&file);
  for (const auto& thread : threads) {
    RLZFileWriteArrayStart(&file);
    for (const auto& frame : thread) {
      RLZFileWriteHashStart(&file);
      writeOptionalString(&file, "symbol", frame->symbol());
      if (!frame->rawSymbol() || frame->rawSymbol() != frame->symbol()) {
        writeOptionalString(&file, "raw_symbol", frame->rawSymbol());
      }
      RLZFileWriteHashEntryUint64(&file, "offset", frame->offset());
      writeOptionalString(&file, "library", frame->library());
      RLZFileWriteHashEnd(&file);
    }
    RLZFileWriteArrayEnd(&file);
  }
  RLZFileWriteArrayEnd(&file);
  RLZFileWriteSectionEnd(&file);
  return RLZFileClose(&file);
}

void RLZProcessReportOperation::main() {
  if (!report_ || !symbolResolver_) return;
  if (!symbolResolver_->loadBinaryImagesFromFile(report_->binaryImagePath())) return;
  report_->enumerateSymbolicatableFilesInContent(
      [this](const std::string& path) { symbolicateFile(path, *symbolResolver_); });
}
