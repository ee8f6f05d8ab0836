// A frame of a custom exception or of a symbolicated thread, and the exception model the app
// hands to the crash reporter's recorders.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class VDZStackFrame {
 public:
  VDZStackFrame() = default;
  VDZStackFrame(std::string symbol, std::string fileName, std::uint32_t lineNumber);

  static std::shared_ptr<VDZStackFrame> stackFrameWithSymbol(const std::string& symbol, const std::string& fileName,
                                                             std::uint32_t lineNumber);
  // Symbol and raw symbol both set; not symbolicated.
  static std::shared_ptr<VDZStackFrame> stackFrameWithSymbol(const std::string& symbol);
  static std::shared_ptr<VDZStackFrame> stackFrameWithAddress(std::uint64_t address);
  static std::shared_ptr<VDZStackFrame> stackFrame();

  bool isSymbolicated() const { return isSymbolicated_; }
  void setIsSymbolicated(bool value) { isSymbolicated_ = value; }
  std::uint32_t lineNumber() const { return lineNumber_; }
  void setLineNumber(std::uint32_t value) { lineNumber_ = value; }
  const std::optional<std::string>& symbol() const { return symbol_; }
  void setSymbol(std::optional<std::string> value) { symbol_ = std::move(value); }
  const std::optional<std::string>& rawSymbol() const { return rawSymbol_; }
  void setRawSymbol(std::optional<std::string> value) { rawSymbol_ = std::move(value); }
  const std::optional<std::string>& library() const { return library_; }
  void setLibrary(std::optional<std::string> value) { library_ = std::move(value); }
  const std::optional<std::string>& fileName() const { return fileName_; }
  void setFileName(std::optional<std::string> value) { fileName_ = std::move(value); }
  std::uint64_t offset() const { return offset_; }
  void setOffset(std::uint64_t value) { offset_ = value; }
  std::uint64_t address() const { return address_; }
  void setAddress(std::uint64_t value) { address_ = value; }

  std::string description() const;

 private:
  bool isSymbolicated_ = false;
  std::uint32_t lineNumber_ = 0;
  std::optional<std::string> symbol_;
  std::optional<std::string> rawSymbol_;
  std::optional<std::string> library_;
  std::optional<std::string> fileName_;
  std::uint64_t offset_ = 0;
  std::uint64_t address_ = 0;
};

class VDZExceptionModel {
 public:
  VDZExceptionModel(std::string name, std::string reason) : name_(std::move(name)), reason_(std::move(reason)) {}
  static std::shared_ptr<VDZExceptionModel> exceptionModelWithName(const std::string& name, const std::string& reason) {
    return std::make_shared<VDZExceptionModel>(name, reason);
  }

  bool isFatal() const { return isFatal_; }
  void setIsFatal(bool value) { isFatal_ = value; }
  bool onDemand() const { return onDemand_; }
  void setOnDemand(bool value) { onDemand_ = value; }
  const std::vector<std::shared_ptr<VDZStackFrame>>& stackTrace() const { return stackTrace_; }
  void setStackTrace(std::vector<std::shared_ptr<VDZStackFrame>> value) { stackTrace_ = std::move(value); }
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }

 private:
  bool isFatal_ = false;
  bool onDemand_ = false;
  std::vector<std::shared_ptr<VDZStackFrame>> stackTrace_;
  std::string name_;
  std::string reason_;
};

// What the exception recorder takes of a model: its frames, pointing into the model's strings
// (valid while the model lives), and the recordings themselves.
struct RLZExceptionFrame;
std::vector<RLZExceptionFrame> RLZExceptionFramesOfModel(const VDZExceptionModel& model);
// A custom exception of the current report.
void RLZExceptionRecordModel(const VDZExceptionModel& model);
// An on-demand exception in a copy of the current report: the copy's path, or none.
std::optional<std::string> RLZExceptionRecordOnDemandModel(const VDZExceptionModel& model, int recordedCount,
                                                           int droppedCount);
