// The analytics database held by another connection (a second instance, a backup, a shell; see
// `storage_test::holdAnalyticsDatabase`), with the SDK's worker waiting for it as long as it is
// held, for the terminal's tests of what goes on meanwhile.
#pragma once

#include "tests/sdk/analytics/storage/storage_test_support.h"

// While alive, the worker waits for a held database as long as it is held (by default it gives
// up after a few seconds).
class WorkerWaitsForTheLock : public storage_test::BusyTimeoutForScope {
 public:
  WorkerWaitsForTheLock() : BusyTimeoutForScope(120'000) {}
};
