#include "platform/runtime/class.h"

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runtime/message.h"

namespace platform::runtime {

namespace {

struct Registry {
  Mutex mutex;
  std::map<std::string, std::shared_ptr<const Class>, std::less<>> classes GUARDED_BY(mutex);
};

Registry& registry() {
  static auto* r = new Registry;
  return *r;
}

std::map<std::string, IMP, std::less<>> wrapClassMethods(std::map<std::string, Method, std::less<>> methods) {
  std::map<std::string, IMP, std::less<>> wrapped;
  for (auto& [selector, m] : methods) {
    wrapped.emplace(selector, implementationWithBlock([m = std::move(m)](Object&, const Arguments& args) {
                      return m(args);
                    }));
  }
  return wrapped;
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

void throwReceiverTypeMismatch() {
  throw Exception(std::string(kInvalidArgumentException), "the method was sent to a receiver of another type");
}

}  // namespace detail

Class::Class(ClassDefinition definition)
    : name_(std::move(definition.name)),
      superclass_(std::move(definition.superclass)),
      protocols_(std::move(definition.protocols)),
      instanceSize_(definition.instanceSize || !superclass_ ? definition.instanceSize : superclass_->instanceSize()),
      ivars_(std::move(definition.ivars)),
      classMethods_(wrapClassMethods(std::move(definition.classMethods))),
      instanceMethods_(std::move(definition.instanceMethods)) {}

bool Class::isSubclassOf(const Class& other) const {
  for (const Class* c = this; c; c = c->superclass_.get()) {
    if (c == &other) return true;
  }
  return false;
}

bool Class::conformsToProtocol(std::string_view protocolName) const {
  for (const Class* c = this; c; c = c->superclass_.get()) {
    if (c->protocols_.contains(protocolName)) return true;
  }
  return false;
}

IMP Class::classMethod(std::string_view selector) const {
  for (const Class* c = this; c; c = c->superclass_.get()) {
    MutexLock lock(c->mutex_);
    if (auto m = c->classMethods_.find(selector); m != c->classMethods_.end()) return m->second;
  }
  return nullptr;
}

IMP Class::instanceMethod(std::string_view selector) const {
  for (const Class* c = this; c; c = c->superclass_.get()) {
    MutexLock lock(c->mutex_);
    if (auto m = c->instanceMethods_.find(selector); m != c->instanceMethods_.end()) return m->second;
  }
  return nullptr;
}

std::any Class::perform(std::string_view selector, const Arguments& arguments) const {
  IMP imp = classMethod(selector);
  if (!imp) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("+[%@ %@]: unrecognized selector sent to class %p", name_, selector,
                           static_cast<const void*>(this)));
  }
  // Class methods never change the class through their receiver; the table is the shared part.
  return (*imp)(const_cast<Class&>(*this), arguments);
}

bool Class::addInstanceMethod(std::string_view selector, IMP imp) const {
  MutexLock lock(mutex_);
  return instanceMethods_.emplace(std::string(selector), std::move(imp)).second;
}

IMP Class::replaceInstanceMethod(std::string_view selector, IMP imp) const {
  MutexLock lock(mutex_);
  IMP& slot = instanceMethods_[std::string(selector)];
  return std::exchange(slot, std::move(imp));
}

bool Class::addClassMethod(std::string_view selector, IMP imp) const {
  MutexLock lock(mutex_);
  return classMethods_.emplace(std::string(selector), std::move(imp)).second;
}

IMP Class::replaceClassMethod(std::string_view selector, IMP imp) const {
  MutexLock lock(mutex_);
  IMP& slot = classMethods_[std::string(selector)];
  return std::exchange(slot, std::move(imp));
}

std::shared_ptr<const Class> registerClass(ClassDefinition definition) {
  auto cls = std::make_shared<const Class>(std::move(definition));
  if (!registerClassPair(cls)) {
    throw Exception(std::string(kInternalInconsistencyException),
                    format("A class named %@ is already registered", cls->name()));
  }
  return cls;
}

std::shared_ptr<const Class> registerClassOnce(ClassDefinition definition) {
  if (auto existing = classNamed(definition.name)) return existing;
  auto cls = std::make_shared<const Class>(std::move(definition));
  // Another thread may have registered it meanwhile: its class is the one.
  return registerClassPair(cls) ? cls : classNamed(cls->name());
}

std::shared_ptr<const Class> classNamed(std::string_view name) {
  Registry& r = registry();
  MutexLock lock(r.mutex);
  auto it = r.classes.find(name);
  return it == r.classes.end() ? nullptr : it->second;
}

void unregisterClass(std::string_view name) {
  Registry& r = registry();
  MutexLock lock(r.mutex);
  if (auto it = r.classes.find(name); it != r.classes.end()) r.classes.erase(it);
}

std::shared_ptr<Class> allocateClassPair(const std::shared_ptr<const Class>& superclass, std::string name,
                                         std::size_t extraBytes) {
  if (name.empty() || classNamed(name)) return nullptr;
  ClassDefinition d;
  d.name = std::move(name);
  d.superclass = superclass;
  d.instanceSize = (superclass ? superclass->instanceSize() : 0) + extraBytes;
  return std::make_shared<Class>(std::move(d));
}

bool registerClassPair(const std::shared_ptr<const Class>& cls) {
  Registry& r = registry();
  MutexLock lock(r.mutex);
  return r.classes.emplace(cls->name(), cls).second;
}

std::shared_ptr<const Class> classWithMethodsOf(std::string_view name, const std::shared_ptr<const Class>& superclass,
                                                std::size_t instanceSize, const Class& donor,
                                                std::initializer_list<std::string_view> selectors) {
  ClassDefinition d;
  d.name = std::string(name);
  d.superclass = superclass;
  d.instanceSize = instanceSize;
  for (auto selector : selectors) {
    if (IMP imp = donor.instanceMethod(selector)) d.instanceMethods.emplace(std::string(selector), std::move(imp));
  }
  return registerClassOnce(std::move(d));
}

std::shared_ptr<const Class> rootClass() {
  // Never destroyed: classes are defined where first needed, which may be a worker while the process exits.
  static const auto* const root = [] {
    ClassDefinition d;
    d.name = "NSObject";
    d.instanceSize = sizeof(Object);
    d.instanceMethods.emplace("description", implementationWithBlock([](Object& self, const Arguments&) -> std::any {
                                auto cls = getClass(self);
                                return format("<%@: %p>", cls ? cls->name() : std::string("?"), identity(self));
                              }));
    auto cls = std::make_shared<const Class>(std::move(d));
    registerClassPair(cls);
    return new std::shared_ptr<const Class>(std::move(cls));
  }();
  return *root;
}

}  // namespace platform::runtime
