// Replaces a method's implementation with a block, and reads a method's current implementation,
// through the object runtime. Every replacement and read of the process runs on one serial queue,
// so each is atomic with respect to the others; a read followed by a replacement is not, so
// callers do both once, at set-up.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "platform/runtime/class.h"

class VULSwizzler {
 public:
  // The block takes the receiver (for a class selector, the class) and the method's arguments.
  using Block = platform::runtime::ImplementationFunction;

  // For a class selector the class method is replaced (on the class itself, even when it was
  // inherited); otherwise the instance method. A missing class or selector, or a method that
  // does not exist, fails an assertion.
  static void swizzleClass(const std::shared_ptr<const platform::runtime::Class>& aClass, std::string_view selector,
                           bool isClassSelector, Block block);
  // None when the method does not exist.
  static platform::runtime::IMP currentImplementationForClass(
      const std::shared_ptr<const platform::runtime::Class>& aClass, std::string_view selector, bool isClassSelector);
  // Inherited methods included.
  static bool selectorExistsInClass(std::string_view selector,
                                    const std::shared_ptr<const platform::runtime::Class>& aClass,
                                    bool isClassSelector);
  // The object-typed variables (type encoding beginning with "@") declared by the object's own
  // class, in declaration order; variables that hold nothing are left out.
  static std::vector<std::shared_ptr<platform::runtime::Object>> ivarObjectsForObject(
      const platform::runtime::Object& object);
};
