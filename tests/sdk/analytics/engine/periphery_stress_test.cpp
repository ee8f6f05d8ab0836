// Real threads on the real clock: ad units opened and closed from many threads while reports
// run, and purchase batches from many threads through the product cache and the reporter.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "engine_test_fixture.h"
#include "platform/runloop/clock.h"
#include "platform/store/payment_queue.h"
#include "sdk/analytics/engine/apm_ad_exposure_reporter.h"
#include "sdk/analytics/engine/apm_in_app_purchase_transaction_reporter.h"

namespace {

using engine_test::EngineTest;

TEST_F(EngineTest, AdUnitsFromManyThreadsAllClose) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  std::atomic<int> logged{0};
  auto reporter = APMAdExposureReporter::make({[&](const std::string&, const std::string&, const APMDictionary&) { ++logged; },
                                               [] { return true; }, [] { return APMDictionary{}; }});
  constexpr int kThreads = 6;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string unit = "u" + std::to_string(t) + "-" + std::to_string(i % 7);
        reporter->beginAdUnitExposure(unit);
        if (i % 5 == 0) reporter->handleEngagementTimer();
        if (i % 9 == 0) reporter->handleAppDidBecomeActive();
        reporter->drain();
        reporter->endAdUnitExposure(unit);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  reporter->drain();
  // Every unit closed: a further report finds nothing open.
  const int before = logged.load();
  reporter->logExposureEventsWithScreenParameters({});
  EXPECT_EQ(logged.load(), before);
  reporter.reset();
  platform::testing::useManualClock();
}

TEST_F(EngineTest, ProductCacheUnderConcurrentBatches) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  APMInAppPurchaseProductCache::sharedInstance().resetForTesting();
  for (int i = 0; i < 20; ++i) {
    platform::store::StoreCatalog::addProduct({"p" + std::to_string(i), "0.99", "USD", "Product", std::nullopt});
  }
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const std::string id = "p" + std::to_string((t * 7 + i) % 25);  // some unknown to the store
        APMInAppPurchaseProductCache::sharedInstance().requestProductsWithProductIdentifiers(
            {id}, platform::DispatchQueue::global(),
            [&](const APMProducts&, const std::set<std::string>&, const std::optional<platform::Error>&) { ++answered; });
        APMInAppPurchaseProductCache::sharedInstance().cachedProductForProductIdentifier(id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  platform::testing::runUntilIdle();
  EXPECT_EQ(answered.load(), 120);
  EXPECT_LE(APMInAppPurchaseProductCache::sharedInstance().count(), 25u);
  platform::store::StoreCatalog::removeAllProducts();
  APMInAppPurchaseProductCache::sharedInstance().resetForTesting();
  platform::testing::useManualClock();
}

// Batches from many threads, some of whose products must first be looked up: each purchase is
// reported once, and each thread's in the order it handed them over.
TEST_F(EngineTest, PurchaseBatchesFromManyThreadsAreReportedOnceInOrder) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  APMInAppPurchaseProductCache::sharedInstance().resetForTesting();
  constexpr int kThreads = 6;
  // Within the product cache's bound, so that no product is forgotten before its report.
  constexpr int kBatches = 15;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kBatches; ++i) {
      const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
      platform::store::StoreCatalog::addProduct({id, "0.99", "USD", id, std::nullopt});
    }
  }
  std::mutex mutex;
  std::map<std::string, std::vector<int>> reported;  // by thread, the batch numbers in order
  auto reporter = std::make_shared<APMInAppPurchaseTransactionReporter>(
      [&](const std::string&, const std::string&, const APMDictionary& parameters) {
        const auto product = parameters.find("product_id");
        if (product == parameters.end() || !product->second.apmValue()) return;
        const std::string id = *(*product->second.apmValue())->stringValue();
        std::lock_guard lock(mutex);
        reported[id.substr(0, id.find('-'))].push_back(std::stoi(id.substr(id.find('-') + 1)));
      });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kBatches; ++i) {
        auto transaction = std::make_shared<platform::store::PaymentTransaction>();
        transaction->transactionState = platform::store::PaymentTransactionState::Purchased;
        transaction->payment.productIdentifier = "t" + std::to_string(t) + "-" + std::to_string(i);
        transaction->transactionIdentifier = std::to_string(t * 1000 + i + 1);
        reporter->paymentQueueUpdatedFilteredTransactions({transaction});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  platform::testing::runUntilIdle();
  std::vector<int> inOrder(kBatches);
  for (int i = 0; i < kBatches; ++i) inOrder[i] = i;
  std::lock_guard lock(mutex);
  ASSERT_EQ(reported.size(), static_cast<std::size_t>(kThreads));
  for (const auto& [thread, batches] : reported) EXPECT_EQ(batches, inOrder) << thread;
  platform::store::StoreCatalog::removeAllProducts();
  APMInAppPurchaseProductCache::sharedInstance().resetForTesting();
  platform::testing::useManualClock();
}

}  // namespace
