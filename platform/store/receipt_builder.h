// Builds the app's store receipt: a container of in-app purchase records, each a set of typed
// attributes (product, transaction identifiers, dates, type, trial and offer flags), encoded as
// the store writes them, and installs it where the main bundle keeps its receipt.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::store {

// Purchase types as the receipt numbers them.
enum class ReceiptPurchaseType { NonConsumable = 0, Consumable = 1, NonRenewingSubscription = 2, AutoRenewable = 3 };

struct ReceiptPurchase {
  std::string productID;
  std::string transactionID;
  std::string originalTransactionID;
  // "yyyy-MM-dd'T'HH:mm:ssZ" text, GMT.
  std::string purchaseDate;
  std::optional<std::string> originalPurchaseDate;
  std::optional<std::string> subscriptionExpirationDate;
  std::optional<std::string> cancellationDate;
  std::optional<std::int64_t> webOrderLineItemID;
  std::optional<ReceiptPurchaseType> purchaseType;
  bool freeTrial = false;
  bool introductoryOffer = false;
};

class ReceiptBuilder {
 public:
  // Receipt attribute types of a purchase record.
  static constexpr int kProductID = 1702;
  static constexpr int kTransactionID = 1703;
  static constexpr int kPurchaseDate = 1704;
  static constexpr int kOriginalTransactionID = 1705;
  static constexpr int kOriginalPurchaseDate = 1706;
  static constexpr int kPurchaseType = 1707;
  static constexpr int kSubscriptionExpirationDate = 1708;
  static constexpr int kWebOrderLineItemID = 1711;
  static constexpr int kCancellationDate = 1712;
  static constexpr int kFreeTrial = 1713;
  static constexpr int kIntroductoryOffer = 1719;

  ReceiptBuilder& add(ReceiptPurchase purchase);
  Data data() const;
  // Writes the receipt into the main bundle ("StoreKit/sandboxReceipt" for the store's test
  // environment, else "StoreKit/receipt"); the path, or none when there is no main bundle.
  std::optional<std::filesystem::path> install(bool sandbox = false) const;
  // Removes both receipts of the main bundle.
  static void uninstall();

  // The date text of a time, as receipts print it.
  static std::string dateText(double secondsSince1970);

 private:
  std::vector<ReceiptPurchase> purchases_;
};

}  // namespace platform::store
