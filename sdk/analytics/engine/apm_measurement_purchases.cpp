// The duplicate filter of store purchases: a transaction is reported once, recognised later by
// the fingerprint the database keeps of it.
#include "platform/store/payment_queue.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_in_app_purchase_transaction_reporter.h"
#include "sdk/analytics/engine/apm_measurement.h"
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
          // While another connection holds the database the insert waits with the kept writes,
          // in front of the purchase's event: the purchase is reported, and the fingerprint that
          // recognises it again is stored first.
          auto inserted = std::make_shared<std::optional<bool>>();
          self->keptPurchaseFingerprints_.insert(*fingerprint);
          self->performDatabaseWriteOnWorkerQueue(
              [engine = self.get(), fingerprint = *fingerprint, productID, inserted] {
                *inserted = engine->storePurchaseFingerprintOnWorkerQueue(fingerprint, productID);
              },
              [fingerprint = *fingerprint, productID] {
                return std::optional(platform::Value::Dictionary{
                    {"k", platform::Value("p")}, {"f", platform::Value(fingerprint)}, {"pid", platform::Value(productID)}});
              });
          if (*inserted == false) {
            APMLog(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", productID);
          } else {
            kept.push_back(transaction);
          }
        }
        callback(std::move(kept));
      });
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
