#include "platform/runtime/associated_objects.h"

#include <map>
#include <unordered_map>
#include <utility>

#include "platform/foundation/thread_safety.h"

namespace platform::runtime {

namespace {

struct Table {
  Mutex mutex;
  std::unordered_map<const Object*, std::map<const void*, std::shared_ptr<void>>> byHost GUARDED_BY(mutex);
};

Table& table() {
  // Never destroyed: hosts with static storage may be released after other statics are gone.
  static auto* t = new Table;
  return *t;
}

}  // namespace

std::shared_ptr<void> getAssociatedObject(const Object& host, const void* key) {
  Table& t = table();
  MutexLock lock(t.mutex);
  auto h = t.byHost.find(&host);
  if (h == t.byHost.end()) return nullptr;
  auto v = h->second.find(key);
  return v == h->second.end() ? nullptr : v->second;
}

void setAssociatedObject(const Object& host, const void* key, std::shared_ptr<void> value) {
  std::shared_ptr<void> old;  // released after the lock: its destructor may use associations too
  Table& t = table();
  MutexLock lock(t.mutex);
  if (value) {
    auto& slot = t.byHost[&host][key];
    old = std::exchange(slot, std::move(value));
    return;
  }
  auto h = t.byHost.find(&host);
  if (h == t.byHost.end()) return;
  auto v = h->second.find(key);
  if (v == h->second.end()) return;
  old = std::move(v->second);
  h->second.erase(v);
  if (h->second.empty()) t.byHost.erase(h);
}

void removeAssociatedObjects(const Object& host) {
  std::map<const void*, std::shared_ptr<void>> released;
  {
    Table& t = table();
    MutexLock lock(t.mutex);
    auto h = t.byHost.find(&host);
    if (h == t.byHost.end()) return;
    released = std::move(h->second);
    t.byHost.erase(h);
  }
}

}  // namespace platform::runtime
