// The duplicate filter of store purchases: a transaction is reported once, recognised later by
// the fingerprint the database keeps of it.
#include <algorithm>

#include "platform/store/payment_queue.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_in_app_purchase_transaction_reporter.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_sqlite_store.h"

void APMMeasurement::filterPurchaseTransactions(PurchaseTransactions transactions,
                                                std::function<void(PurchaseTransactions)> callback) {
  if (!callback) return;
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(
      "APMMeasurement:3538", [weak, transactions = std::move(transactions), callback = std::move(callback)] {
        const auto self = weak.lock();
        if (!self) return;
        PurchaseTransactions kept;
        for (const auto& transaction : transactions) {
          if (!transaction || transaction->transactionState != platform::store::PaymentTransactionState::Purchased) {
            continue;
          }
          const std::string& productID = transaction->payment.productIdentifier;
          const auto fingerprint = APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction.get());
          // Without a store, only a start waiting for a held database keeps the fingerprint.
          const bool canStore = self->database_ || (self->enabled_ && self->waitingForDatabase_);
          if (!fingerprint || fingerprint->empty() || !canStore) {
            APMLog(2, 23139,
                   "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. Product ID",
                   productID);
            kept.push_back(transaction);
            continue;
          }
          if (self->keptPurchaseFingerprints_.count(*fingerprint) != 0) {
            APMLog(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", productID);
            continue;
          }
          if (self->storeOrAwaitPurchaseFingerprint(*fingerprint, productID) == false) {
            APMLog(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", productID);
          } else {
            kept.push_back(transaction);
          }
        }
        callback(std::move(kept));
      });
}

// While another connection holds the database the purchase is reported, and its fingerprint
// waits for the purchase's event: the two are kept, journaled and written as one write, so a
// purchase is never recognised again without having been reported.
std::optional<bool> APMMeasurement::storeOrAwaitPurchaseFingerprint(const std::string& fingerprint,
                                                                    const std::string& productID) {
  keptPurchaseFingerprints_.insert(fingerprint);
  if (database_ && (!waitingForDatabase_ || !enabled_)) {
    std::optional<bool> inserted;
    if (tryDatabaseWrite([&] { inserted = storePurchaseFingerprintOnWorkerQueue(fingerprint, productID); })) {
      return inserted;
    }
    scheduleDatabaseRetry();
  }
  // Bounded as the kept writes are; the oldest purchase is then written without its fingerprint.
  if (purchasesAwaitingEvents_.size() >= kAPMMaxKeptDatabaseWrites) {
    keptPurchaseFingerprints_.erase(purchasesAwaitingEvents_.front().fingerprint);
    purchasesAwaitingEvents_.pop_front();
  }
  purchasesAwaitingEvents_.push_back({fingerprint, productID});
  return std::nullopt;
}

std::optional<APMMeasurement::PurchaseAwaitingEvent> APMMeasurement::takePurchaseAwaitingEvent(const APMEvent& event) {
  if (purchasesAwaitingEvents_.empty() || !APMIsPurchaseEvent(event)) return std::nullopt;
  const APMValue* product = APMEventParameterValue(event, "product_id");
  const std::string* productID = product ? product->stringValue() : nullptr;
  if (!productID) return std::nullopt;
  // Events come in the order of their purchases; a purchase that logs no event leaves its
  // fingerprint to the next of the same product.
  const auto found = std::find_if(purchasesAwaitingEvents_.begin(), purchasesAwaitingEvents_.end(),
                                  [&](const PurchaseAwaitingEvent& waiting) { return waiting.productID == *productID; });
  if (found == purchasesAwaitingEvents_.end()) return std::nullopt;
  PurchaseAwaitingEvent taken = std::move(*found);
  purchasesAwaitingEvents_.erase(found);
  return taken;
}

std::optional<bool> APMMeasurement::storePurchaseFingerprintOnWorkerQueue(const std::string& fingerprint,
                                                                          const std::string& productID) {
  if (!database_) return std::nullopt;
  platform::Error error;
  const auto inserted = database_->insertIfNotDuplicatePurchaseFingerprint(fingerprint, &error);
  // A held file fails the whole unit, which is kept and done again: the fingerprint stays known.
  if (!inserted && APMIsBusySqliteError(error)) return std::nullopt;
  keptPurchaseFingerprints_.erase(fingerprint);
  if (!inserted) {
    APMLog(1, 23140,
           "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. Product ID, error",
           productID, APMObject(error));
  }
  return inserted;
}
