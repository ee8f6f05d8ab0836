// Keeps three facts about the running app in the report's internal keys: whether it is in the
// background and how the device and the interface are oriented.
#pragma once

#include <memory>
#include <string_view>

inline constexpr std::string_view kRLZInBackgroundKey = "com.ralitoze.in-background";
inline constexpr std::string_view kRLZDeviceOrientationKey = "com.ralitoze.device-orientation";
inline constexpr std::string_view kRLZUIOrientationKey = "com.ralitoze.ui-orientation";
inline constexpr std::string_view kRLZStatusBarOrientationDidChangeNotification =
    "UIApplicationDidChangeStatusBarOrientationNotification";

class RLZNotificationManager : public std::enable_shared_from_this<RLZNotificationManager> {
 public:
  void registerNotificationListener();
  void captureInitialNotificationStates();

  void willBecomeActive();
  void didBecomeInactive();
  void didChangeOrientation();
  void didChangeUIOrientation();
};
