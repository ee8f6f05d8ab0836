// Keeps one object per host object and key, made on first request and attached to the host.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime/object.h"

class VDZAppAssociationRegistration {
 public:
  using CreationBlock = std::function<std::shared_ptr<platform::runtime::Object>()>;

  // The object registered for the host and key, made by `creationBlock` when there is none (a
  // null result registers nothing). Asking again for the same host and key from inside the
  // creation block raises.
  static std::shared_ptr<platform::runtime::Object> registeredObjectWithHost(const platform::runtime::Object& host,
                                                                             std::string_view key,
                                                                             const CreationBlock& creationBlock);

  template <class T>
  static std::shared_ptr<T> registeredObjectWithHost(const platform::runtime::Object& host, std::string_view key,
                                                     const std::function<std::shared_ptr<T>()>& creationBlock) {
    return std::dynamic_pointer_cast<T>(registeredObjectWithHost(
        host, key, CreationBlock([&]() -> std::shared_ptr<platform::runtime::Object> { return creationBlock(); })));
  }
};
