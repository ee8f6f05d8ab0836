#include "platform/runtime/message.h"

#include <unordered_map>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread_safety.h"

namespace platform::runtime {

namespace {

struct ClassTable {
  Mutex mutex;
  std::unordered_map<const void*, std::shared_ptr<const Class>> byObject GUARDED_BY(mutex);
};

ClassTable& classTable() {
  // Never destroyed: objects with static storage may go after other statics.
  static auto* t = new ClassTable;
  return *t;
}

}  // namespace

namespace detail {

void forgetClass(const Object& object) {
  std::shared_ptr<const Class> released;
  ClassTable& t = classTable();
  MutexLock lock(t.mutex);
  if (auto it = t.byObject.find(&object); it != t.byObject.end()) {
    released = std::move(it->second);
    t.byObject.erase(it);
  }
}

}  // namespace detail

const void* identity(const Object& object) { return dynamic_cast<const void*>(&object); }

std::shared_ptr<const Class> getClass(const Object& object) {
  ClassTable& t = classTable();
  MutexLock lock(t.mutex);
  auto it = t.byObject.find(&object);
  return it == t.byObject.end() ? nullptr : it->second;
}

std::shared_ptr<const Class> setClass(Object& object, std::shared_ptr<const Class> cls) {
  ClassTable& t = classTable();
  MutexLock lock(t.mutex);
  auto& slot = t.byObject[&object];
  return std::exchange(slot, std::move(cls));
}

bool respondsToSelector(const Object& object, std::string_view selector) {
  auto cls = getClass(object);
  return cls && cls->instancesRespondToSelector(selector);
}

std::any send(Object& receiver, std::string_view selector, const Arguments& arguments) {
  auto cls = getClass(receiver);
  IMP imp = cls ? cls->instanceMethod(selector) : nullptr;
  if (!imp) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("-[%@ %@]: unrecognized selector sent to instance %p", cls ? cls->name() : std::string("?"),
                           selector, identity(receiver)));
  }
  return (*imp)(receiver, arguments);
}

std::string describe(Object& object) {
  if (respondsToSelector(object, "description")) {
    std::any d = send(object, "description");
    if (auto* s = std::any_cast<std::string>(&d)) return *s;
  }
  return format("<?: %p>", identity(object));
}

}  // namespace platform::runtime
