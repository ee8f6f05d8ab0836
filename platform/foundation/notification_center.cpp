#include "platform/foundation/notification_center.h"

#include <atomic>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace detail {

struct NotificationEntry {
  std::string name;
  const void* sender = nullptr;
  bool hasOwner = false;
  std::weak_ptr<const void> owner;
  const void* ownerKey = nullptr;
  std::shared_ptr<DispatchQueue> queue;
  NotificationCenter::Callback callback;
  std::atomic<bool> removed{false};

  bool matches(const Notification& n) const {
    return (name.empty() || name == n.name) && (sender == nullptr || sender == n.object);
  }
};

}  // namespace detail

using detail::NotificationEntry;

struct NotificationCenter::State {
  Mutex mutex;
  std::vector<std::shared_ptr<NotificationEntry>> entries GUARDED_BY(mutex);

  void add(std::shared_ptr<NotificationEntry> entry) {
    MutexLock lock(mutex);
    entries.push_back(std::move(entry));
  }

  template <class Pred>
  void removeIf(Pred pred) {
    MutexLock lock(mutex);
    std::erase_if(entries, [&](const std::shared_ptr<NotificationEntry>& e) {
      if (!pred(*e)) return false;
      e->removed = true;
      return true;
    });
  }

  void remove(const NotificationEntry* target) {
    removeIf([target](const NotificationEntry& e) { return &e == target; });
  }
};

NotificationObserver::NotificationObserver(std::weak_ptr<void> center, std::shared_ptr<NotificationEntry> entry)
    : center_(std::move(center)), entry_(std::move(entry)) {}

NotificationObserver::~NotificationObserver() { remove(); }

void NotificationObserver::remove() {
  if (!entry_) return;
  entry_->removed = true;
  if (auto center = center_.lock()) static_cast<NotificationCenter::State*>(center.get())->remove(entry_.get());
}

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}

NotificationCenter::~NotificationCenter() {
  MutexLock lock(state_->mutex);
  for (auto& e : state_->entries) e->removed = true;
}

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter;  // posts from static destructors still find it
  return *center;
}

void NotificationCenter::addObserver(const std::weak_ptr<const void>& owner, std::string name, const void* sender,
                                     Callback callback) {
  auto alive = owner.lock();
  if (!alive || !callback) return;
  auto entry = std::make_shared<NotificationEntry>();
  entry->name = std::move(name);
  entry->sender = sender;
  entry->hasOwner = true;
  entry->owner = owner;
  entry->ownerKey = alive.get();
  entry->callback = std::move(callback);
  state_->add(std::move(entry));
}

std::shared_ptr<NotificationObserver> NotificationCenter::addObserver(std::string name, const void* sender,
                                                                      std::shared_ptr<DispatchQueue> queue,
                                                                      Callback block) {
  auto entry = std::make_shared<NotificationEntry>();
  entry->name = std::move(name);
  entry->sender = sender;
  entry->queue = std::move(queue);
  entry->callback = std::move(block);
  state_->add(entry);
  return std::shared_ptr<NotificationObserver>(new NotificationObserver(state_, std::move(entry)));
}

void NotificationCenter::removeObserver(const void* owner, std::string_view name, const void* sender) {
  if (!owner) return;
  state_->removeIf([&](const NotificationEntry& e) {
    return e.hasOwner && e.ownerKey == owner && (name.empty() || e.name == name) &&
           (sender == nullptr || e.sender == sender);
  });
}

void NotificationCenter::removeObserver(const std::shared_ptr<NotificationObserver>& observer) {
  if (observer) observer->remove();
}

void NotificationCenter::post(std::string name, const void* object, Value::Dictionary userInfo) {
  Notification n;
  n.name = std::move(name);
  n.object = object;
  n.userInfo = std::move(userInfo);
  post(std::move(n));
}

void NotificationCenter::post(Notification notification) {
  if (!notification.object && notification.objectRef) notification.object = notification.objectRef.get();
  // A snapshot: observers may add or remove observers (themselves included) while being called.
  std::vector<std::shared_ptr<NotificationEntry>> snapshot;
  {
    MutexLock lock(state_->mutex);
    snapshot.reserve(state_->entries.size());
    for (const auto& e : state_->entries) {
      if (e->matches(notification)) snapshot.push_back(e);
    }
  }
  std::shared_ptr<const Notification> shared;
  for (const auto& entry : snapshot) {
    if (entry->removed || !entry->callback) continue;
    if (entry->hasOwner) {
      auto owner = entry->owner.lock();  // held for the call so the owner cannot vanish mid-way
      if (!owner) {
        state_->remove(entry.get());
        continue;
      }
      entry->callback(notification);
    } else if (entry->queue) {
      if (!shared) shared = std::make_shared<const Notification>(notification);
      entry->queue->async([entry, shared] {
        if (!entry->removed) entry->callback(*shared);
      });
    } else {
      entry->callback(notification);
    }
  }
}

}  // namespace platform
