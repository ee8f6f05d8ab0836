#include <gtest/gtest.h>

#include "engine_test_fixture.h"
#include "platform/store/payment_queue.h"
#include "platform/store/receipt_builder.h"
#include "sdk/analytics/engine/apm_in_app_purchase_item.h"
#include "sdk/analytics/engine/apm_in_app_purchase_transaction_reporter.h"

namespace {

using engine_test::LoggedEvent;
using engine_test::intParameter;
using engine_test::stringParameter;
using platform::store::PaymentQueue;
using platform::store::PaymentTransaction;
using platform::store::PaymentTransactionState;
using platform::store::Product;
using platform::store::ReceiptBuilder;
using platform::store::ReceiptPurchase;
using platform::store::ReceiptPurchaseType;
namespace StoreCatalog = platform::store::StoreCatalog;

constexpr double kDay1 = 1'779'000'000;
constexpr double kDay2 = kDay1 + 30 * 86400;

std::shared_ptr<const PaymentTransaction> transaction(std::string product, std::string id, double date,
                                                      std::optional<std::string> original = std::nullopt,
                                                      std::int64_t quantity = 1) {
  auto t = std::make_shared<PaymentTransaction>();
  t->transactionState = PaymentTransactionState::Purchased;
  t->payment = {std::move(product), quantity};
  t->transactionIdentifier = std::move(id);
  t->transactionDate = platform::Date::fromTimeIntervalSince1970(date);
  if (original) {
    auto o = std::make_shared<PaymentTransaction>();
    o->transactionIdentifier = std::move(original);
    t->originalTransaction = o;
  }
  return t;
}

ReceiptPurchase record(std::string product, std::string id, std::string original, double date, ReceiptPurchaseType type,
                       std::optional<std::int64_t> webOrder = std::nullopt, bool freeTrial = false) {
  ReceiptPurchase p;
  p.productID = std::move(product);
  p.transactionID = std::move(id);
  p.originalTransactionID = std::move(original);
  p.purchaseDate = ReceiptBuilder::dateText(date);
  p.purchaseType = type;
  p.webOrderLineItemID = webOrder;
  p.freeTrial = freeTrial;
  return p;
}

class PurchaseTest : public engine_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    StoreCatalog::removeAllProducts();
    APMInAppPurchaseProductCache::sharedInstance().resetForTesting();
    StoreCatalog::addProduct({"coins", "0.99", "USD", "Coins", std::nullopt});
    StoreCatalog::addProduct({"pro.monthly", "4.99", "EUR", "Pro", std::nullopt});
  }
  void TearDown() override {
    StoreCatalog::removeAllProducts();
    APMInAppPurchaseProductCache::sharedInstance().resetForTesting();
    ReceiptBuilder::uninstall();
    EngineTest::TearDown();
  }

  // A reporter whose events are recorded here.
  std::vector<LoggedEvent> report(const APMInAppPurchaseTransactionReporter::Transactions& transactions) {
    events_.clear();
    auto reporter = std::make_shared<APMInAppPurchaseTransactionReporter>(
        [this](const std::string& origin, const std::string& name, const APMDictionary& parameters) {
          APMDictionary copy = parameters;
          std::lock_guard lock(mutex_);
          events_.push_back({origin, name, 0, copy});
        });
    reporter->paymentQueueUpdatedFilteredTransactions(transactions);
    return events();
  }
  std::vector<LoggedEvent> purchases() {
    std::vector<LoggedEvent> out;
    for (auto& e : events()) {
      if (e.name.rfind("_iap", 0) == 0 || e.name == "_assr" || e.name == "_assc") out.push_back(e);
    }
    return out;
  }
};

TEST_F(PurchaseTest, APurchaseThroughThePaymentQueueIsReportedOnce) {
  ReceiptBuilder().add(record("coins", "500", "500", kDay1, ReceiptPurchaseType::Consumable)).install();
  configure();
  recordEvents();
  ASSERT_EQ(PaymentQueue::defaultQueue().observerCount(), 1u);

  const auto bought = PaymentQueue::defaultQueue().purchase("coins", 2);
  auto logged = purchases();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "_iap");
  EXPECT_EQ(logged[0].origin, "auto");
  EXPECT_EQ(stringParameter(logged[0], "product_id"), "coins");
  EXPECT_EQ(stringParameter(logged[0], "product_name"), "Coins");
  EXPECT_EQ(stringParameter(logged[0], "currency"), "USD");
  EXPECT_EQ(intParameter(logged[0], "price"), 990000);
  EXPECT_EQ(intParameter(logged[0], "value"), 1980000);
  EXPECT_EQ(intParameter(logged[0], "quantity"), 2);
  EXPECT_EQ(intParameter(logged[0], "_did"), APMPurchaseDid("500", std::nullopt, "coins"));

  // The platform hands the same transaction again: the fingerprint keeps it from a second report.
  events_.clear();
  PaymentQueue::defaultQueue().deliver({bought});
  EXPECT_TRUE(purchases().empty());
  EXPECT_TRUE(loggedCode(23141));
}

TEST_F(PurchaseTest, WithoutTheReceiptsRecordAPurchaseIsReportedAsInvalid) {
  struct Case {
    const char* what;
    bool installReceipt;
    bool sandbox;
    std::int64_t sandboxFlag;
  };
  const std::vector<Case> cases = {
      {"no receipt file", false, false, INT64_MIN},
      {"a receipt of the store's test environment without the purchase", true, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ReceiptBuilder::uninstall();
    if (c.installReceipt) ReceiptBuilder().install(c.sandbox);
    const auto logged = report({transaction("coins", "900", kDay1)});
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].name, "_iapx");
    EXPECT_EQ(logged[0].parameters.count("invalid"), 0u);
    EXPECT_EQ(intParameter(logged[0], "sandbox"), c.sandboxFlag);
  }
}

TEST_F(PurchaseTest, SubscriptionsAreClassifiedAgainstTheirReceiptHistory) {
  struct Case {
    const char* what;
    std::vector<ReceiptPurchase> receipt;
    std::shared_ptr<const PaymentTransaction> transaction;
    std::string name;
    std::map<std::string, std::int64_t> expected;  // INT64_MIN: absent
  };
  const auto monthly = ReceiptPurchaseType::AutoRenewable;
  const std::vector<Case> cases = {
      {"free-trial start",
       {record("pro.monthly", "100", "100", kDay1, monthly, 1, true)},
       transaction("pro.monthly", "100", kDay1),
       "_iap",
       {{"free_trial", 1}, {"subscription", 1}, {"price", 0}, {"value", 0}, {"original_price", 4990000},
        {"price_is_discounted", 1}}},
      {"renewal after a free trial",
       {record("pro.monthly", "100", "100", kDay1, monthly, 1, true), record("pro.monthly", "101", "100", kDay2, monthly, 2)},
       transaction("pro.monthly", "101", kDay2, "100"),
       "_assc",
       {{"price", 4990000}, {"subscription", INT64_MIN}, {"sub_convert", INT64_MIN}}},
      {"renewal after a paid period",
       {record("pro.monthly", "100", "100", kDay1, monthly, 1), record("pro.monthly", "101", "100", kDay2, monthly, 2)},
       transaction("pro.monthly", "101", kDay2, "100"),
       "_assr",
       {{"price", 4990000}, {"sub_renew", INT64_MIN}}},
      {"renewal whose date is not in the receipt",
       {record("pro.monthly", "100", "100", kDay1, monthly, 1), record("pro.monthly", "101", "100", kDay2, monthly, 2)},
       transaction("pro.monthly", "102", kDay2 + 86400, "100"),
       "_iapx",
       {{"subscription", 1}}},
      {"restored non-consumable",
       {record("coins", "7", "7", kDay1, ReceiptPurchaseType::NonConsumable)},
       transaction("coins", "8", kDay2, "7"),
       "_iapx",
       {{"price", 990000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ReceiptBuilder builder;
    for (const auto& r : c.receipt) builder.add(r);
    ASSERT_TRUE(builder.install());
    const auto logged = report({c.transaction});
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].name, c.name);
    for (const auto& [key, value] : c.expected) EXPECT_EQ(intParameter(logged[0], key), value) << key;
  }
}

TEST_F(PurchaseTest, TheReceiptReadsBackAsWritten) {
  ReceiptPurchase full = record("pro.monthly", "101", "100", kDay2, ReceiptPurchaseType::AutoRenewable, 0x1122334455667788);
  full.introductoryOffer = true;
  full.originalPurchaseDate = ReceiptBuilder::dateText(kDay1);
  full.cancellationDate = ReceiptBuilder::dateText(kDay2 + 5);
  ReceiptPurchase longID = record(std::string(200, 'x'), "1", "1", kDay1, ReceiptPurchaseType::Consumable);
  const auto items = APMParsePurchaseItemsFromReceipt(ReceiptBuilder().add(full).add(longID).data());
  // A product identifier longer than one length byte is not read, so its record is dropped.
  ASSERT_EQ(items.size(), 1u);
  const auto& item = *items[0];
  EXPECT_EQ(item.productID, "pro.monthly");
  EXPECT_EQ(item.transactionID, "101");
  EXPECT_EQ(item.originalTransactionID, "100");
  EXPECT_EQ(item.purchaseDate(), kDay2);
  EXPECT_EQ(item.originalPurchaseDateIA5String, ReceiptBuilder::dateText(kDay1));
  EXPECT_EQ(item.cancellationDateIA5String, ReceiptBuilder::dateText(kDay2 + 5));
  EXPECT_EQ(item.purchaseType, 3);
  EXPECT_EQ(item.webOrderLineItemID, 0x1122334455667788);
  EXPECT_EQ(item.freeTrial, false);
  EXPECT_EQ(item.introductoryOffer, true);
  EXPECT_TRUE(APMParsePurchaseItemsFromReceipt({2, 1, 17, 2, 1, 1}).empty());
}

TEST_F(PurchaseTest, FingerprintsAndPriceArithmetic) {
  EXPECT_FALSE(APMInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
  EXPECT_FALSE(APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction("coins", "000-000", kDay1).get()));
  EXPECT_FALSE(APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction("coins", "", kDay1).get()));
  EXPECT_EQ(APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction("coins", "1000", kDay1).get()),
            "a9b7ba70783b617e9998dc4dd82eb3c5");
  auto restored = std::make_shared<PaymentTransaction>(*transaction("coins", "1000", kDay1));
  restored->transactionState = PaymentTransactionState::Restored;
  EXPECT_FALSE(APMInAppPurchaseTransactionReporter::transactionFingerprint(restored.get()));

  EXPECT_EQ(APMPriceMicros("0.99", 2), 1980000);
  EXPECT_EQ(APMPriceMicros("0.0000019", 1), 1);  // truncated
  EXPECT_EQ(APMPriceMicros("1e3", 3), 3000000000);
  EXPECT_FALSE(APMPriceMicros("abc", 1));
  EXPECT_FALSE(APMPriceMicros("99999999999999", 1000000));
}

TEST_F(PurchaseTest, TheProductCacheStartsAfreshAtItsLimit) {
  auto& cache = APMInAppPurchaseProductCache::sharedInstance();
  std::set<std::string> ids;
  for (int i = 0; i < 100; ++i) {
    StoreCatalog::addProduct({"p" + std::to_string(i), "1", "USD", std::nullopt, std::nullopt});
    ids.insert("p" + std::to_string(i));
  }
  const auto ask = [&](const std::set<std::string>& which) {
    cache.requestProductsWithProductIdentifiers(which, platform::DispatchQueue::main(),
                                                [](const APMProducts&, const std::set<std::string>&,
                                                   const std::optional<platform::Error>&) {});
    platform::testing::runUntilIdle();
  };
  ask(ids);
  EXPECT_EQ(cache.count(), 100u);
  ask({"unknown"});  // the 101st entry
  EXPECT_EQ(cache.count(), 1u);
  EXPECT_FALSE(cache.cachedProductForProductIdentifier("p1"));
}

}  // namespace
