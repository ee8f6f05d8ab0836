// What components of the transport hear of the application's lifecycle; each is optional.
#pragma once

class VDTCORApplication;

class VDTCORLifecycleProtocol {
 public:
  virtual ~VDTCORLifecycleProtocol() = default;
  virtual void appWillBackground(VDTCORApplication& /*app*/) {}
  virtual void appWillForeground(VDTCORApplication& /*app*/) {}
  virtual void appWillTerminate(VDTCORApplication& /*app*/) {}
};
