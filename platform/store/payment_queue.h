// The store's payment queue, products and product requests. The store itself is a catalogue that
// tests and the terminal front end fill: products the store knows, and purchases a user makes
// (`PaymentQueue::purchase`), which reach the queue's transaction observers as the platform
// delivers them, on the main queue. Nothing here talks to a network.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"

namespace platform::store {

enum class PaymentTransactionState { Purchasing = 0, Purchased = 1, Failed = 2, Restored = 3, Deferred = 4 };

// Introductory-offer payment modes.
enum class DiscountPaymentMode { PayAsYouGo = 0, PayUpFront = 1, FreeTrial = 2 };

struct ProductDiscount {
  std::string price;  // decimal text, as the platform's decimal numbers print
  DiscountPaymentMode paymentMode = DiscountPaymentMode::PayAsYouGo;
};

struct Product {
  std::string productIdentifier;
  std::optional<std::string> price;  // decimal text
  std::optional<std::string> currencyCode;  // of the price locale
  std::optional<std::string> localizedTitle;
  std::optional<ProductDiscount> introductoryPrice;
};

struct Payment {
  std::string productIdentifier;
  std::int64_t quantity = 1;
};

struct PaymentTransaction {
  PaymentTransactionState transactionState = PaymentTransactionState::Purchasing;
  Payment payment;
  std::optional<std::string> transactionIdentifier;
  std::optional<Date> transactionDate;
  std::shared_ptr<const PaymentTransaction> originalTransaction;
  std::optional<Error> error;
};
using TransactionList = std::vector<std::shared_ptr<const PaymentTransaction>>;

// "SKPaymentTransactionObserver": told of every batch of updated transactions.
class PaymentTransactionObserver {
 public:
  virtual ~PaymentTransactionObserver() = default;
  virtual void paymentQueueUpdatedTransactions(const TransactionList& transactions) = 0;
};

class PaymentQueue {
 public:
  static PaymentQueue& defaultQueue();

  // Observers are held weakly; an observer gone is dropped.
  void addTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer);
  void removeTransactionObserver(const PaymentTransactionObserver* observer);
  std::size_t observerCount() const;

  // Delivers the transactions to every observer on the main queue (the platform's way).
  void deliver(TransactionList transactions);
  // A purchased transaction for the product, with a fresh identifier and the current date;
  // delivered as above and returned.
  std::shared_ptr<const PaymentTransaction> purchase(const std::string& productIdentifier, std::int64_t quantity = 1);

  // Tests: no observers.
  void resetForTesting();

 private:
  mutable Mutex mutex_;
  std::vector<std::weak_ptr<PaymentTransactionObserver>> observers_ GUARDED_BY(mutex_);
  std::uint64_t nextTransaction_ GUARDED_BY(mutex_) = 1000000001;
};

// The products the store answers with. Any thread.
namespace StoreCatalog {
void addProduct(Product product);
void removeAllProducts();
std::optional<Product> product(const std::string& productIdentifier);
// Makes every products request fail with this error until cleared.
void setFailure(std::optional<Error> error);
}  // namespace StoreCatalog

class ProductsRequest;

// "SKProductsRequestDelegate".
class ProductsRequestDelegate {
 public:
  virtual ~ProductsRequestDelegate() = default;
  virtual void productsRequestDidReceiveResponse(ProductsRequest& request, const std::vector<Product>& products,
                                                 const std::set<std::string>& invalidProductIdentifiers) = 0;
  virtual void requestDidFailWithError(ProductsRequest& request, const Error& error) = 0;
};

// Looks the identifiers up in the catalogue and answers the delegate once, on the main queue.
// The request keeps itself alive until it has answered.
class ProductsRequest : public std::enable_shared_from_this<ProductsRequest> {
 public:
  // Null for an empty set of identifiers.
  static std::shared_ptr<ProductsRequest> make(std::set<std::string> productIdentifiers);
  explicit ProductsRequest(std::set<std::string> productIdentifiers);

  void setDelegate(std::weak_ptr<ProductsRequestDelegate> delegate);
  void start();
  const std::set<std::string>& productIdentifiers() const { return productIdentifiers_; }

 private:
  const std::set<std::string> productIdentifiers_;
  Mutex mutex_;
  std::weak_ptr<ProductsRequestDelegate> delegate_ GUARDED_BY(mutex_);
};

}  // namespace platform::store
