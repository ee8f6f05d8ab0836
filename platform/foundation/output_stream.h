// Output streams: bytes written in order into memory. A stream takes bytes only between open()
// and close(); write() answers how many bytes it took (a subclass may take fewer than offered) or
// -1 when it took none because it is not open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/foundation/value.h"

namespace platform {

class OutputStream {
 public:
  enum class Status { NotOpen, Open, Closed };

  static std::shared_ptr<OutputStream> outputStreamToMemory() { return std::make_shared<OutputStream>(); }

  OutputStream() = default;
  virtual ~OutputStream() = default;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  void open() {
    if (status_ == Status::NotOpen) status_ = Status::Open;
  }
  void close() { status_ = Status::Closed; }
  Status streamStatus() const { return status_; }

  virtual long write(const std::uint8_t* bytes, std::size_t length) {
    if (status_ != Status::Open) return -1;
    written_.insert(written_.end(), bytes, bytes + length);
    return static_cast<long>(length);
  }

  // Every byte taken so far.
  const Data& dataWrittenToMemory() const { return written_; }

 private:
  Status status_ = Status::NotOpen;
  Data written_;
};

}  // namespace platform
