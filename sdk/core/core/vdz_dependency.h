// A component's declared need of another protocol. Informational: the container never reads it.
#pragma once

#include <memory>

#include "platform/runtime/protocol.h"

class VDZDependency {
 public:
  VDZDependency(platform::runtime::Protocol protocol, bool isRequired)
      : protocol_(std::move(protocol)), isRequired_(isRequired) {}

  static std::shared_ptr<VDZDependency> dependencyWithProtocol(const platform::runtime::Protocol& protocol) {
    return dependencyWithProtocol(protocol, true);
  }
  static std::shared_ptr<VDZDependency> dependencyWithProtocol(const platform::runtime::Protocol& protocol,
                                                               bool isRequired) {
    return std::make_shared<VDZDependency>(protocol, isRequired);
  }

  const platform::runtime::Protocol& protocol() const { return protocol_; }
  bool isRequired() const { return isRequired_; }

 private:
  platform::runtime::Protocol protocol_;
  bool isRequired_;
};
