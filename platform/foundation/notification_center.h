// The notification centre: observers by name and by sender, delivered synchronously on the
// posting thread in registration order (or, for block observers given a queue, asynchronously on
// that queue). Observers never keep their owners alive, and an observer whose owner is gone is
// never called.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {

class DispatchQueue;

namespace detail {
struct NotificationEntry;
}

struct Notification {
  std::string name;
  // The sender, compared by identity.
  const void* object = nullptr;
  // Optionally keeps the sender alive while the notification is delivered (queued blocks too).
  std::shared_ptr<const void> objectRef;
  Value::Dictionary userInfo;
};

// The handle of a block observer: releasing the last reference (or remove()) unregisters it.
class NotificationObserver {
 public:
  ~NotificationObserver();
  NotificationObserver(const NotificationObserver&) = delete;
  NotificationObserver& operator=(const NotificationObserver&) = delete;
  void remove();

 private:
  friend class NotificationCenter;
  NotificationObserver(std::weak_ptr<void> center, std::shared_ptr<detail::NotificationEntry> entry);
  std::weak_ptr<void> center_;
  std::shared_ptr<detail::NotificationEntry> entry_;
};

class NotificationCenter {
 public:
  using Callback = std::function<void(const Notification&)>;

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  static NotificationCenter& defaultCenter();

  // An empty `name` observes every name; a null `sender` every sender. The owner is held weakly:
  // once it is gone the callback is never called again, and removeObserver(owner) unregisters.
  void addObserver(const std::weak_ptr<const void>& owner, std::string name, const void* sender, Callback callback);
  // A block observer; with a queue, each notification is delivered by an async block on it
  // (dropped if the observer is removed before the block runs).
  [[nodiscard]] std::shared_ptr<NotificationObserver> addObserver(std::string name, const void* sender,
                                                                  std::shared_ptr<DispatchQueue> queue,
                                                                  Callback block);

  // Removes the owner's observers, narrowed by name and sender when given.
  void removeObserver(const void* owner, std::string_view name = {}, const void* sender = nullptr);
  void removeObserver(const std::shared_ptr<NotificationObserver>& observer);

  void post(std::string name, const void* object = nullptr, Value::Dictionary userInfo = {});
  void post(Notification notification);

 private:
  friend class NotificationObserver;
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
