// The app as a developer runs it while another program holds its analytics database (a shell with
// the file open in a transaction): purchases made just before a quit are saved for the next
// launch with their fingerprints, the quit ends within its allowance, and the next launch reports
// every purchase once, in the order they were made.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/foundation/home.h"
#include "tests/tools/terminal/app_in_terminal.h"
#include "tools/local-service/analytics_routes.h"
#include "tools/local-service/local_service.h"

namespace {

namespace fs = std::filesystem;

fs::path databasePath(const fs::path& home) {
  return home / "Library/Application Support/Videzu/Measurement/videzu-app-measurement.sql";
}

// Another connection's exclusive transaction on the database, as `sqlite3` with BEGIN EXCLUSIVE.
class DatabaseHold {
 public:
  explicit DatabaseHold(const fs::path& path) {
    if (sqlite3_open_v2(path.c_str(), &handle_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return;
    // The app may be in a transaction of its own at this moment.
    sqlite3_busy_timeout(handle_, 10000);
    held_ = sqlite3_exec(handle_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~DatabaseHold() { release(); }
  DatabaseHold(const DatabaseHold&) = delete;
  DatabaseHold& operator=(const DatabaseHold&) = delete;
  bool held() const { return held_; }
  void release() {
    if (!handle_) return;
    if (held_) sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(handle_);
    handle_ = nullptr;
    held_ = false;
  }

 private:
  sqlite3* handle_ = nullptr;
  bool held_ = false;
};

std::int64_t rowCount(const fs::path& database, const std::string& table) {
  sqlite3* handle = nullptr;
  std::int64_t count = -1;
  if (sqlite3_open_v2(database.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, ("SELECT count(*) FROM " + table).c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      count = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(handle);
  return count;
}

class HeldDatabaseQuit : public ::testing::Test {
 protected:
  void SetUp() override {
    local_service::addDefaultRoutes(service);
    ASSERT_TRUE(service.start());
    home = platform::Home::temporary() / "app-home";
    fs::create_directories(home);
  }
  // The purchase events the service received, by product, in the order they were made.
  std::vector<std::string> purchasedProducts() {
    std::vector<local_service::UploadedMeasurementEvent> purchases;
    for (const auto& request : service.requestsTo(std::string(local_service::kMeasurementUploadPath))) {
      std::string error;
      const auto bundles = local_service::decodeMeasurementBatch(request.decodedBody, error);
      EXPECT_TRUE(bundles) << error;
      if (!bundles) continue;
      for (const auto& bundle : *bundles) {
        for (const auto& event : bundle.events) {
          if (event.name.rfind("_iap", 0) == 0) purchases.push_back(event);
        }
      }
    }
    std::stable_sort(purchases.begin(), purchases.end(),
                     [](const auto& a, const auto& b) { return a.timestampMillis < b.timestampMillis; });
    std::vector<std::string> products;
    for (const auto& event : purchases) {
      const auto product = event.params.find("product_id");
      // Text comes quoted.
      products.push_back(product == event.params.end() ? "?" : product->second.substr(1, product->second.size() - 2));
    }
    return products;
  }

  local_service::LocalService service;
  fs::path home;
};

// Purchases a fraction of a second apart while the database is held with the store's real busy
// timeout, then a quit a second after the last: each purchase was acknowledged, so each is in the
// next launch's uploads once and in order, and its fingerprint is stored with it, never alone.
TEST_F(HeldDatabaseQuit, PurchasesJustBeforeAQuitReachTheNextLaunchOnceInOrder) {
  const std::vector<std::string> products = {"coins", "gems", "stars", "keys", "hats"};
  {
    AppInTerminal app(home, service.baseURL());
    ASSERT_TRUE(app.waitForScreen());
    // The first start has made its database and written its first events.
    ASSERT_TRUE(service.waitForRequestsTo(std::string(local_service::kMeasurementUploadPath), 1, 120))
        << "the first launch sent no measurement upload";
    DatabaseHold hold(databasePath(home));
    ASSERT_TRUE(hold.held());
    for (const auto& product : products) {
      app.type(":purchase " + product + " 0.99\r");
      usleep(400 * 1000);
    }
    usleep(1000 * 1000);
    // Within the quit's allowance, whatever waits for the database.
    const auto status = app.quit();
    ASSERT_TRUE(status && WIFEXITED(*status)) << status.value_or(-1);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
  }
  // Saved for the next launch: no fingerprint went into the held database meanwhile.
  service.clearRequests();
  {
    // In debug mode, which uploads each event at once.
    AppInTerminal app(home, service.baseURL(), {"-DOREvoredireDebugEnabled"});
    ASSERT_TRUE(app.waitForScreen());
    for (int i = 0; i < 1200 && purchasedProducts().size() < products.size(); ++i) usleep(100 * 1000);
    EXPECT_EQ(purchasedProducts(), products);
    app.signal(SIGTERM);
  }
  EXPECT_EQ(rowCount(databasePath(home), "purchase_transactions"), static_cast<std::int64_t>(products.size()));
}

}  // namespace
