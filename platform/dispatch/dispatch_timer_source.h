// A timer source: an event handler submitted to a queue at start + k·interval on the platform
// clock. Like every source it is made suspended; resume() starts it. While resumed and not
// cancelled the system keeps it alive. Events that fall due while the previous one has not yet
// run, or while the source is suspended, collapse into one.
#pragma once

#include <functional>
#include <memory>

namespace platform {

class DispatchQueue;

class DispatchTimerSource : public std::enable_shared_from_this<DispatchTimerSource> {
 public:
  using Block = std::function<void()>;

  // Events go to `queue` (the default global queue when null).
  static std::shared_ptr<DispatchTimerSource> make(std::shared_ptr<DispatchQueue> queue);

  virtual ~DispatchTimerSource() = default;

  // First event `startDelay` seconds from now, then every `interval` seconds; an interval that is
  // not positive or is infinite gives one event. Events land exactly on the grid; the leeway is
  // accepted for the caller's information only. Setting the timer again starts a new grid.
  virtual void setTimer(double startDelay, double interval, double leeway = 0) = 0;
  virtual void setEventHandler(Block handler) = 0;
  // Submitted to the queue once, on cancel, after any event already submitted.
  virtual void setCancelHandler(Block handler) = 0;

  // Suspension counts nest; a source is made with a count of one.
  virtual void resume() = 0;
  virtual void suspend() = 0;
  // Stops all further events and releases the event handler.
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;
};

}  // namespace platform
