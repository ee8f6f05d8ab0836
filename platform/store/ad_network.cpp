#include "platform/store/ad_network.h"

#include "platform/foundation/trace.h"

namespace platform::AdNetwork {

void registerAppForAdNetworkAttribution() { Trace::record("adNetwork", "registerAppForAdNetworkAttribution"); }

}  // namespace platform::AdNetwork
