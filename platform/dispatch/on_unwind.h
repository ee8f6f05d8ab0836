// Clean-up for a scope that an exception leaves. A queue tidies itself this way rather than by
// catching and rethrowing: a catch stops the runtime's search for a handler and unwinds the stack
// to it, so when nothing further up catches either (a worker), the terminate handler would no
// longer see the frames that threw.
#pragma once

#include <exception>
#include <utility>

namespace platform::detail {

template <typename Cleanup>
class OnUnwind {
 public:
  explicit OnUnwind(Cleanup cleanup) : cleanup_(std::move(cleanup)), exceptions_(std::uncaught_exceptions()) {}
  ~OnUnwind() {
    if (std::uncaught_exceptions() > exceptions_) cleanup_();
  }
  OnUnwind(const OnUnwind&) = delete;
  OnUnwind& operator=(const OnUnwind&) = delete;

 private:
  Cleanup cleanup_;
  int exceptions_;
};

}  // namespace platform::detail
