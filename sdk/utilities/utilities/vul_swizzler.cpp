#include "sdk/utilities/utilities/vul_swizzler.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/format.h"
#include "platform/runtime/message.h"

using platform::runtime::Class;
using platform::runtime::IMP;

namespace {

constexpr std::string_view kAssertionFile = "VULSwizzler";

const std::shared_ptr<platform::DispatchQueue>& swizzlerQueue() {
  static const auto queue = platform::DispatchQueue::serial("com.videzu.VULSwizzler");
  return queue;
}

// False (after the assertion handler returned) when the class or selector is missing.
bool preconditionsHold(const std::shared_ptr<const Class>& aClass, std::string_view selector) {
  if (selector.empty()) {
    platform::AssertionHandler::handleFailure(kAssertionFile, "The selector cannot be NULL");
    return false;
  }
  if (!aClass) {
    platform::AssertionHandler::handleFailure(kAssertionFile, "The class cannot be Nil");
    return false;
  }
  return true;
}

IMP lookUp(const Class& aClass, std::string_view selector, bool isClassSelector) {
  return isClassSelector ? aClass.classMethod(selector) : aClass.instanceMethod(selector);
}

}  // namespace

void VULSwizzler::swizzleClass(const std::shared_ptr<const Class>& aClass, std::string_view selector,
                               bool isClassSelector, Block block) {
  if (!preconditionsHold(aClass, selector)) return;
  // The check runs on the queue; the assertion is raised here, never across the queue.
  const bool swizzled = swizzlerQueue()->syncResult([&] {
    if (!lookUp(*aClass, selector, isClassSelector)) return false;
    IMP imp = platform::runtime::implementationWithBlock(std::move(block));
    if (isClassSelector) {
      aClass->replaceClassMethod(selector, std::move(imp));
    } else {
      aClass->replaceInstanceMethod(selector, std::move(imp));
    }
    return true;
  });
  if (!swizzled) {
    platform::AssertionHandler::handleFailure(
        kAssertionFile, platform::format("You're attempting to swizzle a method that doesn't exist. (%@, %@)",
                                         aClass->name(), selector));
  }
}

IMP VULSwizzler::currentImplementationForClass(const std::shared_ptr<const Class>& aClass, std::string_view selector,
                                               bool isClassSelector) {
  if (!preconditionsHold(aClass, selector)) return nullptr;
  return swizzlerQueue()->syncResult([&] { return lookUp(*aClass, selector, isClassSelector); });
}

bool VULSwizzler::selectorExistsInClass(std::string_view selector, const std::shared_ptr<const Class>& aClass,
                                        bool isClassSelector) {
  return aClass && !selector.empty() && lookUp(*aClass, selector, isClassSelector) != nullptr;
}

std::vector<std::shared_ptr<platform::runtime::Object>> VULSwizzler::ivarObjectsForObject(
    const platform::runtime::Object& object) {
  std::vector<std::shared_ptr<platform::runtime::Object>> objects;
  auto cls = platform::runtime::getClass(object);
  if (!cls) return objects;
  for (const auto& ivar : cls->ivars()) {
    if (!ivar.typeEncoding.starts_with("@") || !ivar.object) continue;
    if (auto value = ivar.object(object)) objects.push_back(std::move(value));
  }
  return objects;
}
