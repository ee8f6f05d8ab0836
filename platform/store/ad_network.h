// The store's ad-network attribution: an app registers once for attribution of the install to an
// ad campaign. Nothing leaves the device here; the registration shows in the trace ("adNetwork").
#pragma once

namespace platform::AdNetwork {

void registerAppForAdNetworkAttribution();

}  // namespace platform::AdNetwork
