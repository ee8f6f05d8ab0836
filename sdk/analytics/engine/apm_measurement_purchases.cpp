// The duplicate filter of store purchases: a transaction is reported once, recognised later by
// the fingerprint the database keeps of it.
#include "platform/store/payment_queue.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_in_app_purchase_transaction_reporter.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/storage/apm_database.h"

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
          if (!fingerprint || fingerprint->empty() || !self->database_) {
            APMLog(2, 23139,
                   "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. Product ID",
                   productID);
            kept.push_back(transaction);
            continue;
          }
          platform::Error error;
          const auto inserted = self->database_->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error);
          if (!inserted) {
            APMLog(1, 23140,
                   "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. Product ID, error",
                   productID, APMObject(error));
            kept.push_back(transaction);
          } else if (*inserted) {
            kept.push_back(transaction);
          } else {
            APMLog(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", productID);
          }
        }
        callback(std::move(kept));
      });
}
