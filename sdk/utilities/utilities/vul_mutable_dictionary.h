// A dictionary that many threads may use at once: every access runs on the dictionary's own
// serial queue, writes asynchronously and reads synchronously, so a read sees every write issued
// before it by the same thread. Never call it from a block running on that queue.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/value.h"

template <class Key = std::string, class Object = platform::Value>
class VULMutableDictionary {
 public:
  using Dictionary = std::map<Key, Object, std::less<>>;

  VULMutableDictionary()
      : queue_(platform::DispatchQueue::serial("VULMutableDictionary")), objects_(std::make_shared<Dictionary>()) {}

  std::optional<Object> objectForKey(const Key& key) const {
    std::optional<Object> found;
    queue_->sync([&] {
      auto it = objects_->find(key);
      if (it != objects_->end()) found = it->second;
    });
    return found;
  }
  std::optional<Object> objectForKeyedSubscript(const Key& key) const { return objectForKey(key); }

  void setObject(Object object, Key key) {
    queue_->async([objects = objects_, object = std::move(object), key = std::move(key)]() mutable {
      objects->insert_or_assign(std::move(key), std::move(object));
    });
  }
  // No object removes the key.
  void setObjectForKeyedSubscript(std::optional<Object> object, Key key) {
    if (object) {
      setObject(std::move(*object), std::move(key));
    } else {
      removeObjectForKey(std::move(key));
    }
  }
  void removeObjectForKey(Key key) {
    queue_->async([objects = objects_, key = std::move(key)] { objects->erase(key); });
  }
  void removeAllObjects() {
    queue_->async([objects = objects_] { objects->clear(); });
  }

  std::size_t count() const {
    return queue_->syncResult([&] { return objects_->size(); });
  }
  // A snapshot: later changes do not reach it.
  Dictionary dictionary() const {
    return queue_->syncResult([&] { return *objects_; });
  }
  std::string description() const {
    if constexpr (std::is_same_v<Key, std::string> && std::is_same_v<Object, platform::Value>) {
      return platform::Value(dictionary()).description();
    } else {
      return "{ " + std::to_string(count()) + " entries }";
    }
  }

 private:
  std::shared_ptr<platform::DispatchQueue> queue_;
  // Shared with queued writes, which may outlive the dictionary.
  std::shared_ptr<Dictionary> objects_;
};
