// Store purchases as the engine reports them: the purchase records of the app's store receipt,
// and the event parameters of one purchased transaction, classified against those records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/analytics/common/apm_object.h"

namespace platform::store {
struct PaymentTransaction;
struct Product;
}  // namespace platform::store

// One purchase record of the receipt. Absent fields were not in the record.
struct APMInAppPurchaseItem {
  std::optional<bool> freeTrial;
  std::optional<bool> introductoryOffer;
  std::optional<std::string> subscriptionExpirationDateIA5String;
  std::optional<std::string> productID;
  std::optional<std::string> originalTransactionID;
  std::optional<std::string> transactionID;
  std::optional<std::int64_t> webOrderLineItemID;
  std::optional<std::string> originalPurchaseDateIA5String;
  std::optional<std::string> purchaseDateIA5String;
  std::optional<std::string> cancellationDateIA5String;
  std::optional<std::int64_t> purchaseType;

  bool isFreeTrial() const { return freeTrial.value_or(false); }
  bool isIntroductoryOffer() const { return introductoryOffer.value_or(false); }
  // Seconds since 1970 of the purchase date text, none when it does not parse.
  std::optional<double> purchaseDate() const;
};
using APMInAppPurchaseItems = std::vector<std::shared_ptr<const APMInAppPurchaseItem>>;

// Purchase types of the receipt.
inline constexpr std::int64_t kAPMPurchaseTypeNonConsumable = 0;
inline constexpr std::int64_t kAPMPurchaseTypeConsumable = 1;
inline constexpr std::int64_t kAPMPurchaseTypeNonRenewingSubscription = 2;
inline constexpr std::int64_t kAPMPurchaseTypeAutoRenewableSubscription = 3;

// Seconds since 1970 of "yyyy-MM-dd'T'HH:mm:ssZZZZZ" text (GMT unless it names an offset).
std::optional<double> APMPurchaseDateFromString(std::string_view text);

// The content following `pattern` at `offset` (255 in the pattern matches any byte; when the
// pattern ends with one, that byte is the length of the content that follows, at most 127).
// None when the pattern does not match or the content would run past the end.
std::optional<platform::Data> APMReceiptSubdataMatchingPattern(const platform::Data& data, std::size_t offset,
                                                               const std::vector<std::uint8_t>& pattern,
                                                               std::size_t* matchedLength = nullptr);
APMInAppPurchaseItems APMParsePurchaseItemsFromReceipt(const platform::Data& receipt);

// Items of the product and/or purchased at the date, oldest first; none without items or without
// both criteria.
std::optional<APMInAppPurchaseItems> APMPurchaseItemsMatching(const APMInAppPurchaseItems& items,
                                                              const std::optional<std::string>& productID,
                                                              const std::optional<double>& date);
// A signed 64-bit identifier of the purchase; -1 without an original transaction or product.
std::int64_t APMPurchaseDid(const std::string& originalTransactionID, const std::optional<std::int64_t>& webOrderLineItemID,
                            const std::string& productID);
void APMSetSubscriptionRenewalFlag(APMDictionary& parameters, const APMInAppPurchaseItems& productItems,
                                   const std::shared_ptr<const APMInAppPurchaseItem>& item);
// Price × quantity in micro-units, truncated; none when the price is not a decimal or overflows.
std::optional<std::int64_t> APMPriceMicros(const std::string& price, std::int64_t quantity);
std::optional<APMDictionary> APMPurchaseEventParameters(const platform::store::Product* product,
                                                        const platform::store::PaymentTransaction* transaction,
                                                        const APMInAppPurchaseItems& items);
