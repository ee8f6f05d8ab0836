// The running total of what the user spent, per currency, kept as internal user properties
// "_ltv_" + the upper-cased ISO 4217 code, in micro-units of the currency. Worker queue only,
// inside the event pipeline's transaction.
#pragma once

class APMDatabase;
class APMEvent;

class APMLifetimeValueRecorder {
 public:
  APMLifetimeValueRecorder() = delete;

  // YES when the event needed nothing (not a purchase, or bad currency or value, which are
  // logged) or the total was stored; NO when the store failed or the amount or the new total do
  // not fit 64 bits, so that the caller rolls back.
  static bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event);
  static bool isPurchaseEvent(const APMEvent& event);
  static bool isEcommercePurchaseEvent(const APMEvent& event);
};
