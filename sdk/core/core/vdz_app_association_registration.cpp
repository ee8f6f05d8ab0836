#include "sdk/core/core/vdz_app_association_registration.h"

#include <map>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/runtime/associated_objects.h"
#include "platform/foundation/thread_safety.h"

namespace {

using Registrations = std::map<std::string, std::shared_ptr<platform::runtime::Object>, std::less<>>;

// Stands in a host's registrations while the object for that key is being made.
class InProgress final : public platform::runtime::Object {};

const std::shared_ptr<platform::runtime::Object>& inProgressMarker() {
  static const auto* marker = new std::shared_ptr<platform::runtime::Object>(std::make_shared<InProgress>());
  return *marker;
}

// Creation blocks may register objects of other keys, so the lock is re-entrant.
platform::RecursiveMutex& classLock() {
  static auto* m = new platform::RecursiveMutex;
  return *m;
}

const char kRegistrationsKey = 0;

}  // namespace

std::shared_ptr<platform::runtime::Object> VDZAppAssociationRegistration::registeredObjectWithHost(
    const platform::runtime::Object& host, std::string_view key, const CreationBlock& creationBlock) {
  platform::RecursiveMutexLock lock(classLock());
  auto registrations = std::static_pointer_cast<Registrations>(platform::runtime::getAssociatedObject(host, &kRegistrationsKey));
  if (!registrations) {
    registrations = std::make_shared<Registrations>();
    platform::runtime::setAssociatedObject(host, &kRegistrationsKey, registrations);
  }
  if (auto existing = registrations->find(key); existing != registrations->end()) {
    if (existing->second == inProgressMarker()) {
      throw platform::Exception("Reentering registeredObjectWithHost:key:creationBlock: not allowed",
                                platform::format("host: %p key: %@", static_cast<const void*>(&host), key));
    }
    return existing->second;
  }
  const std::string keyString(key);
  (*registrations)[keyString] = inProgressMarker();
  std::shared_ptr<platform::runtime::Object> object;
  try {
    object = creationBlock ? creationBlock() : nullptr;
  } catch (...) {
    registrations->erase(keyString);
    throw;
  }
  if (object) {
    (*registrations)[keyString] = object;
  } else {
    registrations->erase(keyString);
  }
  return object;
}
