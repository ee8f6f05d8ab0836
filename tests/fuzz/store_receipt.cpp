// The store receipt is a file the app finds on disk, and the deferred deep link a body from the
// network: any bytes must give purchase items (or none) and a link answer (or none), never a fault.
#include <cstddef>
#include <cstdint>

#include "sdk/analytics/engine/apm_in_app_purchase_item.h"
#include "sdk/analytics/engine/apm_measurement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const platform::Data bytes(data, data + size);
  for (const auto& item : APMParsePurchaseItemsFromReceipt(bytes)) (void)item;
  (void)APMMeasurement::deepLinkInfoFromResponseData(bytes);
  return 0;
}
