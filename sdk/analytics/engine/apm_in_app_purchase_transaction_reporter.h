// Store purchases reported without any call from the app: the facade observes the payment queue,
// the engine drops transactions it reported before, and this reporter looks up each product's
// price and title (through a small product cache that asks the store for unknown products),
// classifies each transaction against the app's receipt and logs "_iap", "_iapx", "_assr" or
// "_assc" (origin "auto").
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/store/payment_queue.h"
#include "sdk/analytics/common/apm_object.h"

namespace platform {
class DispatchQueue;
}

using APMProducts = std::map<std::string, platform::store::Product>;
using APMProductsCompletion = std::function<void(const APMProducts& products, const std::set<std::string>& invalid,
                                                 const std::optional<platform::Error>& error)>;

// One products request; keeps itself alive until its answer has been delivered on its queue.
class APMProductsRequest : public platform::store::ProductsRequestDelegate,
                           public std::enable_shared_from_this<APMProductsRequest> {
 public:
  static void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                    std::shared_ptr<platform::DispatchQueue> queue,
                                                    APMProductsCompletion completionHandler);
  // None when the store request cannot be made.
  static std::shared_ptr<APMProductsRequest> initWithProductIdentifiers(const std::set<std::string>& identifiers);

  void requestWithQueue(std::shared_ptr<platform::DispatchQueue> queue, APMProductsCompletion completionHandler);
  void productsRequestDidReceiveResponse(platform::store::ProductsRequest& request,
                                         const std::vector<platform::store::Product>& products,
                                         const std::set<std::string>& invalidProductIdentifiers) override;
  void requestDidFailWithError(platform::store::ProductsRequest& request, const platform::Error& error) override;

 private:
  void deliver(APMProducts products, std::set<std::string> invalid, std::optional<platform::Error> error);
  void clearInstance();

  platform::Mutex mutex_;
  std::shared_ptr<platform::store::ProductsRequest> productsRequest_ GUARDED_BY(mutex_);
  APMProductsCompletion completionHandler_ GUARDED_BY(mutex_);
  std::shared_ptr<platform::DispatchQueue> queue_ GUARDED_BY(mutex_);
  std::shared_ptr<APMProductsRequest> self_ GUARDED_BY(mutex_);
};

class APMInAppPurchaseProductCache {
 public:
  static constexpr std::size_t kMaxEntries = 101;

  static APMInAppPurchaseProductCache& sharedInstance();
  APMInAppPurchaseProductCache();

  std::optional<platform::store::Product> cachedProductForProductIdentifier(const std::string& identifier) const;
  void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                             std::shared_ptr<platform::DispatchQueue> queue,
                                             APMProductsCompletion completionHandler);
  // Lock queue: merges one answer.
  void mergeProducts(const APMProducts& products, const std::set<std::string>& invalid);
  std::size_t count() const;
  void resetForTesting();

 private:
  std::shared_ptr<platform::DispatchQueue> lockQueue_;
  // Lock queue only.
  std::set<std::string> invalidProductIdentifiers_;
  APMProducts validProducts_;
};

class APMInAppPurchaseTransactionReporter : public std::enable_shared_from_this<APMInAppPurchaseTransactionReporter> {
 public:
  using Transactions = std::vector<std::shared_ptr<const platform::store::PaymentTransaction>>;
  using EventSink = std::function<void(const std::string& origin, const std::string& name, const APMDictionary& parameters)>;

  static std::shared_ptr<APMInAppPurchaseTransactionReporter> sharedInstance();
  explicit APMInAppPurchaseTransactionReporter(EventSink sink = {});

  void paymentQueueUpdatedFilteredTransactions(const Transactions& transactions);
  // Each call reads the receipt into an item list of its own, so passes that overlap in time
  // cannot disturb each other's items.
  void reportTransactionsFromArray(const Transactions& transactions);
  // The MD5 text of the transaction identifier of a purchased transaction, else none.
  static std::optional<std::string> transactionFingerprint(const platform::store::PaymentTransaction* transaction);

 private:
  // Batches are reported one at a time, in the order they came, each once the products it needs
  // are known: a purchase never overtakes an earlier one on its way to the engine.
  struct Batch {
    Transactions transactions;
    bool ready = false;
    bool dropped = false;  // its products could not be looked up
  };
  void batchIsReady(const std::shared_ptr<Batch>& batch, bool dropped);
  // Report queue: reports the batches at the front that are ready.
  void reportReadyBatches();

  EventSink sink_;
  std::shared_ptr<platform::DispatchQueue> reportQueue_;
  platform::Mutex mutex_;
  std::deque<std::shared_ptr<Batch>> batches_ GUARDED_BY(mutex_);
};
