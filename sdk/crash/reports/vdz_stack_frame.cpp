#include "sdk/crash/reports/vdz_stack_frame.h"

#include "platform/foundation/format.h"
#include "sdk/crash/capture/rlz_exception.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/context/rlz_user_logging.h"
#include "sdk/crash/records/rlz_context_state.h"

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

std::vector<RLZExceptionFrame> RLZExceptionFramesOfModel(const VDZExceptionModel& model) {
  std::vector<RLZExceptionFrame> frames;
  for (const auto& frame : model.stackTrace()) {
    frames.push_back({frame->address(), frame->symbol() ? frame->symbol()->c_str() : nullptr, frame->offset(),
                      frame->library() ? frame->library()->c_str() : nullptr,
                      frame->fileName() ? frame->fileName()->c_str() : nullptr, frame->lineNumber()});
  }
  return frames;
}

void RLZExceptionRecordModel(const VDZExceptionModel& model) {
  if (!RLZContextIsInitialized()) return;
  const auto frames = RLZExceptionFramesOfModel(model);
  RLZUserLoggingWriteAndCheckABFiles(&_rlzContext.readonly->logging.customExceptionStorage,
                                     &_rlzContext.writable->logging.activeCustomExceptionPath, [&](RLZFile* file) {
                                       RLZExceptionWrite(file, RLZExceptionTypeCustom, model.name().c_str(),
                                                         model.reason().c_str(), frames.data(),
                                                         static_cast<uint32_t>(frames.size()));
                                     });
}

std::optional<std::string> RLZExceptionRecordOnDemandModel(const VDZExceptionModel& model, int recordedCount,
                                                           int droppedCount) {
  const auto frames = RLZExceptionFramesOfModel(model);
  return RLZExceptionRecordOnDemand(RLZExceptionTypeCustom, model.name().c_str(), model.reason().c_str(),
                                    frames.data(), static_cast<uint32_t>(frames.size()), model.isFatal(),
                                    recordedCount, droppedCount);
}
