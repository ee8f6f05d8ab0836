#include "platform/store/payment_queue.h"

#include <algorithm>
#include <map>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/trace.h"
#include "platform/runloop/clock.h"

namespace platform::store {

namespace {

struct Catalog {
  Mutex mutex;
  std::map<std::string, Product> products GUARDED_BY(mutex);
  std::optional<Error> failure GUARDED_BY(mutex);
};

Catalog& catalog() {
  static Catalog* c = new Catalog;
  return *c;
}

}  // namespace

PaymentQueue& PaymentQueue::defaultQueue() {
  static PaymentQueue* queue = new PaymentQueue;
  return *queue;
}

void PaymentQueue::addTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer) {
  if (!observer) return;
  MutexLock lock(mutex_);
  for (const auto& weak : observers_) {
    if (weak.lock() == observer) return;
  }
  observers_.push_back(observer);
}

void PaymentQueue::removeTransactionObserver(const PaymentTransactionObserver* observer) {
  MutexLock lock(mutex_);
  std::erase_if(observers_, [observer](const std::weak_ptr<PaymentTransactionObserver>& weak) {
    const auto strong = weak.lock();
    return !strong || strong.get() == observer;
  });
}

std::size_t PaymentQueue::observerCount() const {
  MutexLock lock(mutex_);
  return static_cast<std::size_t>(std::count_if(observers_.begin(), observers_.end(),
                                                [](const auto& weak) { return !weak.expired(); }));
}

void PaymentQueue::deliver(TransactionList transactions) {
  std::vector<std::weak_ptr<PaymentTransactionObserver>> observers;
  {
    MutexLock lock(mutex_);
    observers = observers_;
  }
  DispatchQueue::main()->async([observers = std::move(observers), transactions = std::move(transactions)] {
    for (const auto& weak : observers) {
      if (const auto observer = weak.lock()) observer->paymentQueueUpdatedTransactions(transactions);
    }
  });
}

std::shared_ptr<const PaymentTransaction> PaymentQueue::purchase(const std::string& productIdentifier,
                                                                 std::int64_t quantity) {
  auto transaction = std::make_shared<PaymentTransaction>();
  transaction->transactionState = PaymentTransactionState::Purchased;
  transaction->payment = Payment{productIdentifier, quantity};
  {
    MutexLock lock(mutex_);
    transaction->transactionIdentifier = std::to_string(nextTransaction_++);
  }
  transaction->transactionDate = Clock::current().now();
  Trace::record("purchase", productIdentifier);
  deliver({transaction});
  return transaction;
}

void PaymentQueue::resetForTesting() {
  MutexLock lock(mutex_);
  observers_.clear();
}

namespace StoreCatalog {

void addProduct(Product product) {
  Catalog& c = catalog();
  MutexLock lock(c.mutex);
  std::string identifier = product.productIdentifier;
  c.products.insert_or_assign(std::move(identifier), std::move(product));
}

void removeAllProducts() {
  Catalog& c = catalog();
  MutexLock lock(c.mutex);
  c.products.clear();
  c.failure.reset();
}

std::optional<Product> product(const std::string& productIdentifier) {
  Catalog& c = catalog();
  MutexLock lock(c.mutex);
  const auto it = c.products.find(productIdentifier);
  if (it == c.products.end()) return std::nullopt;
  return it->second;
}

void setFailure(std::optional<Error> error) {
  Catalog& c = catalog();
  MutexLock lock(c.mutex);
  c.failure = std::move(error);
}

}  // namespace StoreCatalog

std::shared_ptr<ProductsRequest> ProductsRequest::make(std::set<std::string> productIdentifiers) {
  if (productIdentifiers.empty()) return nullptr;
  return std::make_shared<ProductsRequest>(std::move(productIdentifiers));
}

ProductsRequest::ProductsRequest(std::set<std::string> productIdentifiers)
    : productIdentifiers_(std::move(productIdentifiers)) {}

void ProductsRequest::setDelegate(std::weak_ptr<ProductsRequestDelegate> delegate) {
  MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

void ProductsRequest::start() {
  DispatchQueue::main()->async([self = shared_from_this()] {
    std::shared_ptr<ProductsRequestDelegate> delegate;
    {
      MutexLock lock(self->mutex_);
      delegate = self->delegate_.lock();
    }
    if (!delegate) return;
    std::optional<Error> failure;
    {
      Catalog& c = catalog();
      MutexLock lock(c.mutex);
      failure = c.failure;
    }
    if (failure) {
      delegate->requestDidFailWithError(*self, *failure);
      return;
    }
    std::vector<Product> products;
    std::set<std::string> invalid;
    for (const auto& identifier : self->productIdentifiers_) {
      if (auto p = StoreCatalog::product(identifier)) {
        products.push_back(std::move(*p));
      } else {
        invalid.insert(identifier);
      }
    }
    delegate->productsRequestDidReceiveResponse(*self, products, invalid);
  });
}

}  // namespace platform::store
