#include "sdk/crash/reports/vdz_stack_frame.h"

#include "platform/foundation/format.h"

VDZStackFrame::VDZStackFrame(std::string symbol, std::string fileName, std::uint32_t lineNumber)
    : isSymbolicated_(true), lineNumber_(lineNumber), symbol_(std::move(symbol)), fileName_(std::move(fileName)) {}

std::shared_ptr<VDZStackFrame> VDZStackFrame::stackFrameWithSymbol(const std::string& symbol,
                                                                   const std::string& fileName,
                                                                   std::uint32_t lineNumber) {
  return std::make_shared<VDZStackFrame>(symbol, fileName, lineNumber);
}

std::shared_ptr<VDZStackFrame> VDZStackFrame::stackFrameWithSymbol(const std::string& symbol) {
  auto frame = std::make_shared<VDZStackFrame>();
  frame->symbol_ = symbol;
  frame->rawSymbol_ = symbol;
  return frame;
}

std::shared_ptr<VDZStackFrame> VDZStackFrame::stackFrameWithAddress(std::uint64_t address) {
  auto frame = std::make_shared<VDZStackFrame>();
  frame->address_ = address;
  return frame;
}

std::shared_ptr<VDZStackFrame> VDZStackFrame::stackFrame() { return std::make_shared<VDZStackFrame>(); }

std::string VDZStackFrame::description() const {
  const std::string symbol = symbol_.value_or("(null)");
  if (isSymbolicated_) {
    return platform::format("{%@ - %@:%u}", fileName_.value_or("(null)"), symbol, lineNumber_);
  }
  if (!fileName_) return platform::format("{[0x%llx + %u] %@}", address_, lineNumber_, symbol);
  return platform::format("{[0x%llx] %@ - %@:%u}", address_, *fileName_, symbol, lineNumber_);
}
