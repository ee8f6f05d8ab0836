#include "sdk/analytics/engine/apm_in_app_purchase_transaction_reporter.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"
#include "sdk/analytics/common/apm_app_environment.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_in_app_purchase_item.h"

using platform::store::PaymentTransactionState;

namespace {

std::shared_ptr<platform::DispatchQueue> globalQueue() { return platform::DispatchQueue::global(); }

bool takeOne(APMDictionary& parameters, std::string_view key) {
  const auto it = parameters.find(key);
  if (it == parameters.end() || !it->second.apmValue() || !*it->second.apmValue()) return false;
  const auto& value = *it->second.apmValue();
  if (!value->isInt64() || value->int64Value() != 1) return false;
  parameters.erase(it);
  return true;
}

}  // namespace

// ---- one products request ----

void APMProductsRequest::requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                               std::shared_ptr<platform::DispatchQueue> queue,
                                                               APMProductsCompletion completionHandler) {
  if (!queue || !completionHandler) return;
  const auto request = initWithProductIdentifiers(identifiers);
  if (!request) {
    queue->async([completionHandler] {
      completionHandler({}, {}, APMAdditions::apm_errorWithCode(1, "Invalid product identifiers."));
    });
    return;
  }
  request->requestWithQueue(std::move(queue), std::move(completionHandler));
}

std::shared_ptr<APMProductsRequest> APMProductsRequest::initWithProductIdentifiers(const std::set<std::string>& identifiers) {
  auto storeRequest = platform::store::ProductsRequest::make(identifiers);
  if (!storeRequest) return nullptr;
  auto request = std::make_shared<APMProductsRequest>();
  platform::MutexLock lock(request->mutex_);
  request->productsRequest_ = std::move(storeRequest);
  return request;
}

void APMProductsRequest::requestWithQueue(std::shared_ptr<platform::DispatchQueue> queue,
                                          APMProductsCompletion completionHandler) {
  std::shared_ptr<platform::store::ProductsRequest> request;
  {
    platform::MutexLock lock(mutex_);
    completionHandler_ = std::move(completionHandler);
    queue_ = std::move(queue);
    self_ = shared_from_this();
    request = productsRequest_;
  }
  request->setDelegate(weak_from_this());
  request->start();
}

void APMProductsRequest::productsRequestDidReceiveResponse(platform::store::ProductsRequest&,
                                                           const std::vector<platform::store::Product>& products,
                                                           const std::set<std::string>& invalidProductIdentifiers) {
  APMProducts byIdentifier;
  for (const auto& product : products) {
    if (!product.productIdentifier.empty()) byIdentifier.emplace(product.productIdentifier, product);
  }
  deliver(std::move(byIdentifier), invalidProductIdentifiers, std::nullopt);
}

void APMProductsRequest::requestDidFailWithError(platform::store::ProductsRequest&, const platform::Error& error) {
  deliver({}, {}, error);
}

void APMProductsRequest::deliver(APMProducts products, std::set<std::string> invalid,
                                 std::optional<platform::Error> error) {
  std::shared_ptr<platform::DispatchQueue> queue;
  APMProductsCompletion handler;
  std::shared_ptr<APMProductsRequest> keepAlive;
  {
    platform::MutexLock lock(mutex_);
    queue = queue_;
    handler = completionHandler_;
    keepAlive = self_;
  }
  if (!queue || !handler) return;
  queue->async([keepAlive, handler, products = std::move(products), invalid = std::move(invalid),
                error = std::move(error)] {
    handler(products, invalid, error);
    keepAlive->clearInstance();
  });
}

void APMProductsRequest::clearInstance() {
  std::shared_ptr<APMProductsRequest> self;
  platform::MutexLock lock(mutex_);
  productsRequest_.reset();
  completionHandler_ = nullptr;
  queue_.reset();
  self = std::move(self_);  // released after the lock
}

// ---- the product cache ----

APMInAppPurchaseProductCache& APMInAppPurchaseProductCache::sharedInstance() {
  static APMInAppPurchaseProductCache* cache = new APMInAppPurchaseProductCache;
  return *cache;
}

APMInAppPurchaseProductCache::APMInAppPurchaseProductCache()
    : lockQueue_(platform::DispatchQueue::serial("com.videzu.vmp.measurement.iap-cache")) {}

std::optional<platform::store::Product> APMInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& identifier) const {
  std::optional<platform::store::Product> product;
  lockQueue_->sync([&] {
    if (const auto it = validProducts_.find(identifier); it != validProducts_.end()) product = it->second;
  });
  return product;
}

void APMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                                         std::shared_ptr<platform::DispatchQueue> queue,
                                                                         APMProductsCompletion completionHandler) {
  if (identifiers.empty() || !completionHandler) return;
  const auto lockQueue = lockQueue_;
  APMProductsRequest::requestProductsWithProductIdentifiers(
      identifiers, lockQueue,
      [this, queue, completionHandler](const APMProducts& products, const std::set<std::string>& invalid,
                                       const std::optional<platform::Error>& error) {
        mergeProducts(products, invalid);
        const auto answerQueue = queue ? queue : globalQueue();
        answerQueue->async([completionHandler, products, invalid, error] { completionHandler(products, invalid, error); });
      });
}

void APMInAppPurchaseProductCache::mergeProducts(const APMProducts& products, const std::set<std::string>& invalid) {
  for (const auto& [identifier, product] : products) validProducts_.insert_or_assign(identifier, product);
  for (const auto& identifier : invalid) validProducts_.erase(identifier);
  invalidProductIdentifiers_.insert(invalid.begin(), invalid.end());
  for (const auto& [identifier, product] : products) invalidProductIdentifiers_.erase(identifier);
  if (validProducts_.size() + invalidProductIdentifiers_.size() >= kMaxEntries) {
    validProducts_ = products;
    invalidProductIdentifiers_ = invalid;
  }
}

std::size_t APMInAppPurchaseProductCache::count() const {
  std::size_t n = 0;
  lockQueue_->sync([&] { n = validProducts_.size() + invalidProductIdentifiers_.size(); });
  return n;
}

void APMInAppPurchaseProductCache::resetForTesting() {
  lockQueue_->sync([&] {
    validProducts_.clear();
    invalidProductIdentifiers_.clear();
  });
}

// ---- the reporter ----

std::shared_ptr<APMInAppPurchaseTransactionReporter> APMInAppPurchaseTransactionReporter::sharedInstance() {
  // Never destroyed: a worker may still ask for the shared instance while the process exits.
  static const auto* const instance =
      new std::shared_ptr<APMInAppPurchaseTransactionReporter>(std::make_shared<APMInAppPurchaseTransactionReporter>());
  return *instance;
}

APMInAppPurchaseTransactionReporter::APMInAppPurchaseTransactionReporter(EventSink sink)
    : sink_(std::move(sink)), reportQueue_(platform::DispatchQueue::serial("com.videzu.vmp.measurement.iap-report")) {
  if (!sink_) {
    sink_ = [](const std::string& origin, const std::string& name, const APMDictionary& parameters) {
      APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
    };
  }
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::transactionFingerprint(
    const platform::store::PaymentTransaction* transaction) {
  if (!transaction) {
    APMLog(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState != PaymentTransactionState::Purchased) return std::nullopt;
  const long long code = transaction->error ? static_cast<long long>(transaction->error->code()) : 0;
  const auto& identifier = transaction->transactionIdentifier;
  if (!identifier) {
    APMLog(2, 21015, "Transaction identifier is nil. Code", code);
    return std::nullopt;
  }
  if (identifier->empty()) {
    APMLog(2, 21016, "Transaction identifier is empty. Code", code);
    return std::nullopt;
  }
  if (identifier->find_first_not_of("0-") == std::string::npos) {
    APMLog(2, 21017, "Transaction identifier is only zeroes. Code", code);
    return std::nullopt;
  }
  return APMD5Additions::apm_MD5String(*identifier);
}

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(const Transactions& transactions) {
  Transactions kept;
  std::set<std::string> unknown;
  auto& cache = APMInAppPurchaseProductCache::sharedInstance();
  for (const auto& transaction : transactions) {
    if (!transaction || transaction->transactionState != PaymentTransactionState::Purchased) continue;
    const std::string& identifier = transaction->payment.productIdentifier;
    if (identifier.empty()) continue;
    kept.push_back(transaction);
    if (!cache.cachedProductForProductIdentifier(identifier)) unknown.insert(identifier);
  }
  if (kept.empty()) return;
  auto batch = std::make_shared<Batch>();
  batch->transactions = std::move(kept);
  {
    platform::MutexLock lock(mutex_);
    batches_.push_back(batch);
  }
  std::weak_ptr<APMInAppPurchaseTransactionReporter> weak = weak_from_this();
  if (!unknown.empty()) {
    cache.requestProductsWithProductIdentifiers(
        unknown, reportQueue_,
        [weak, batch](const APMProducts& products, const std::set<std::string>&,
                      const std::optional<platform::Error>& error) {
          const bool dropped = error && products.empty();
          if (dropped) APMLog(1, 21027, "Cannot request product information. Error", APMObject(*error));
          if (auto self = weak.lock()) self->batchIsReady(batch, dropped);
        });
    return;
  }
  batchIsReady(batch, false);
}

void APMInAppPurchaseTransactionReporter::batchIsReady(const std::shared_ptr<Batch>& batch, bool dropped) {
  {
    platform::MutexLock lock(mutex_);
    batch->ready = true;
    batch->dropped = dropped;
  }
  std::weak_ptr<APMInAppPurchaseTransactionReporter> weak = weak_from_this();
  reportQueue_->async([weak] {
    if (auto self = weak.lock()) self->reportReadyBatches();
  });
}

void APMInAppPurchaseTransactionReporter::reportReadyBatches() {
  for (;;) {
    std::shared_ptr<Batch> batch;
    {
      platform::MutexLock lock(mutex_);
      if (batches_.empty() || !batches_.front()->ready) return;
      batch = std::move(batches_.front());
      batches_.pop_front();
      if (batch->dropped) continue;
    }
    reportTransactionsFromArray(batch->transactions);
  }
}

void APMInAppPurchaseTransactionReporter::reportTransactionsFromArray(const Transactions& transactions) {
  APMInAppPurchaseItems items;
  if (const auto url = APMAEU::appStoreRURL()) {
    if (const auto receipt = platform::FileManager::defaultManager().contentsAtPath(*url); receipt && !receipt->empty()) {
      items = APMParsePurchaseItemsFromReceipt(*receipt);
      APMLog(7, 21028, "Parsed purchase items from receipt");
    }
  }
  auto& cache = APMInAppPurchaseProductCache::sharedInstance();
  for (const auto& transaction : transactions) {
    if (!transaction) continue;
    const auto product = cache.cachedProductForProductIdentifier(transaction->payment.productIdentifier);
    auto parameters = APMPurchaseEventParameters(product ? &*product : nullptr, transaction.get(), items);
    if (!parameters || parameters->empty()) continue;
    std::string name = "_iap";
    if (takeOne(*parameters, "invalid")) {
      name = "_iapx";
      if (APMAEU::isASRS()) (*parameters)["sandbox"] = APMInt64Object(1);
    }
    if (takeOne(*parameters, "sub_renew")) name = "_assr";
    if (takeOne(*parameters, "sub_convert")) name = "_assc";
    sink_("auto", name, *parameters);
  }
}
