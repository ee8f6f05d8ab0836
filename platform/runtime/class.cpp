#include "platform/runtime/class.h"

#include <mutex>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"

namespace platform::runtime {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const Class>, std::less<>> classes;
};

Registry& registry() {
  static auto* r = new Registry;
  return *r;
}

}  // namespace

namespace detail {

void throwArgumentCountMismatch(std::size_t expected, std::size_t given) {
  throw Exception(std::string(kInvalidArgumentException),
                  format("method expects %lu arguments, %lu given", expected, given));
}

void throwArgumentTypeMismatch(std::size_t index) {
  throw Exception(std::string(kInvalidArgumentException), format("argument %lu has the wrong type", index));
}

void throwResultTypeMismatch(std::string_view className, std::string_view selector) {
  throw Exception(std::string(kInvalidArgumentException),
                  format("+[%@ %@] returned a result of another type", className, selector));
}

}  // namespace detail

std::any Class::perform(std::string_view selector, const Arguments& arguments) const {
  auto m = d_.classMethods.find(selector);
  if (m == d_.classMethods.end()) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("+[%@ %@]: unrecognized selector sent to class %p", d_.name, selector,
                           static_cast<const void*>(this)));
  }
  return m->second(arguments);
}

std::shared_ptr<const Class> registerClass(ClassDefinition definition) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.classes.contains(definition.name)) {
    throw Exception(std::string(kInternalInconsistencyException),
                    format("A class named %@ is already registered", definition.name));
  }
  auto cls = std::make_shared<const Class>(std::move(definition));
  r.classes.emplace(cls->name(), cls);
  return cls;
}

std::shared_ptr<const Class> classNamed(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.classes.find(name);
  return it == r.classes.end() ? nullptr : it->second;
}

void unregisterClass(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (auto it = r.classes.find(name); it != r.classes.end()) r.classes.erase(it);
}

}  // namespace platform::runtime
