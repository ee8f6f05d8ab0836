#include "sdk/analytics/engine/apm_in_app_purchase_item.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <set>

#include "platform/store/payment_queue.h"
#include "sdk/analytics/common/apm_decimal.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"

namespace {

constexpr std::uint8_t kAny = 255;
constexpr std::uint8_t kUTF8 = 12;
constexpr std::uint8_t kIA5 = 22;
constexpr std::uint8_t kInteger = 2;

// INTEGER 17 (an in-app purchase record), a version INTEGER, then the record's OCTET STRING.
const std::vector<std::uint8_t> kPurchaseRecordHeader = {2, 1, 17, 2, 1, kAny, 4};

struct AttributeKind {
  int type;
  std::uint8_t tag;
};
constexpr AttributeKind kAttributes[] = {
    {1702, kUTF8}, {1703, kUTF8},    {1704, kIA5},    {1705, kUTF8},    {1706, kIA5},    {1707, kInteger},
    {1708, kIA5},  {1711, kInteger}, {1712, kIA5},    {1713, kInteger}, {1719, kInteger},
};

std::string text(const platform::Data& d) { return std::string(d.begin(), d.end()); }

std::int64_t bigEndianInteger(const platform::Data& d) {
  if (d.empty()) return 0;
  std::uint64_t value = (d[0] & 0x80) ? ~std::uint64_t{0} : 0;
  const std::size_t start = d.size() > 8 ? d.size() - 8 : 0;
  for (std::size_t i = start; i < d.size(); ++i) value = (value << 8) | d[i];
  return static_cast<std::int64_t>(value);
}

std::optional<bool> flag(const platform::Data& d, std::int64_t code, std::string_view message) {
  if (d.size() == 1 && (d[0] == 0 || d[0] == 1)) return d[0] == 1;
  APMLog(5, code, message);
  return std::nullopt;
}

void setAttribute(APMInAppPurchaseItem& item, int type, const platform::Data& content) {
  switch (type) {
    case 1702: item.productID = text(content); break;
    case 1703: item.transactionID = text(content); break;
    case 1704: item.purchaseDateIA5String = text(content); break;
    case 1705: item.originalTransactionID = text(content); break;
    case 1706: item.originalPurchaseDateIA5String = text(content); break;
    case 1707: item.purchaseType = bigEndianInteger(content); break;
    case 1708: item.subscriptionExpirationDateIA5String = text(content); break;
    case 1711: item.webOrderLineItemID = VULGzip::apm_64LeastSignificantBits(content); break;
    case 1712: item.cancellationDateIA5String = text(content); break;
    case 1713: item.freeTrial = flag(content, 39025, "Subdata FT unexpected value"); break;
    case 1719: item.introductoryOffer = flag(content, 39028, "Subdata IO unexpected value"); break;
    default: break;
  }
}

bool nonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }

APMObject stringValue(const std::string& s) { return APMObject(APMValue::initWithString(s)); }

bool isOne(const APMDictionary& parameters, std::string_view key) {
  const auto it = parameters.find(key);
  if (it == parameters.end() || !it->second.apmValue() || !*it->second.apmValue()) return false;
  const auto& value = *it->second.apmValue();
  return value->isInt64() && value->int64Value() == 1;
}

void addFreeTrialPrices(APMDictionary& result) {
  if (const auto price = result.find("price"); price != result.end()) result["original_price"] = price->second;
  result["price_is_discounted"] = APMInt64Object(1);
  result["price"] = APMInt64Object(0);
  result["value"] = APMInt64Object(0);
}

}  // namespace

std::optional<double> APMInAppPurchaseItem::purchaseDate() const {
  return purchaseDateIA5String ? APMPurchaseDateFromString(*purchaseDateIA5String) : std::nullopt;
}

std::optional<double> APMPurchaseDateFromString(std::string_view s) {
  // yyyy-MM-ddTHH:mm:ss, then "Z" or an offset "+hh:mm" / "+hhmm".
  if (s.size() < 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':') return std::nullopt;
  const auto number = [&](std::size_t at, std::size_t n) -> std::optional<int> {
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(s[i]))) return std::nullopt;
      v = v * 10 + (s[i] - '0');
    }
    return v;
  };
  const auto year = number(0, 4), month = number(5, 2), day = number(8, 2), hour = number(11, 2),
             minute = number(14, 2), second = number(17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60) {
    return std::nullopt;
  }
  int offset = 0;
  const std::string_view zone = s.substr(19);
  if (zone != "Z") {
    if ((zone[0] != '+' && zone[0] != '-') || (zone.size() != 6 && zone.size() != 5)) return std::nullopt;
    const std::size_t minutesAt = zone.size() == 6 ? 23 : 22;
    if (zone.size() == 6 && zone[3] != ':') return std::nullopt;
    const auto hh = number(20, 2), mm = number(minutesAt, 2);
    if (!hh || !mm) return std::nullopt;
    offset = (*hh * 3600 + *mm * 60) * (zone[0] == '-' ? -1 : 1);
  }
  std::tm tm{};
  tm.tm_year = *year - 1900;
  tm.tm_mon = *month - 1;
  tm.tm_mday = *day;
  tm.tm_hour = *hour;
  tm.tm_min = *minute;
  tm.tm_sec = *second;
  return static_cast<double>(timegm(&tm) - offset);
}

std::optional<platform::Data> APMReceiptSubdataMatchingPattern(const platform::Data& data, std::size_t offset,
                                                               const std::vector<std::uint8_t>& pattern,
                                                               std::size_t* matchedLength) {
  if (pattern.empty() || offset >= data.size() || data.size() - offset < pattern.size()) return std::nullopt;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != kAny && data[offset + i] != pattern[i]) return std::nullopt;
  }
  const std::size_t end = offset + pattern.size();
  if (pattern.back() != kAny) {
    if (matchedLength) *matchedLength = pattern.size();
    return platform::Data{};
  }
  const std::uint8_t length = data[end - 1];
  if (length >= 128) {
    APMLog(5, 39027, "Data is longer than 127");
    return std::nullopt;
  }
  if (data.size() - end < length) return std::nullopt;
  if (matchedLength) *matchedLength = pattern.size() + length;
  return platform::Data(data.begin() + static_cast<std::ptrdiff_t>(end),
                        data.begin() + static_cast<std::ptrdiff_t>(end + length));
}

APMInAppPurchaseItems APMParsePurchaseItemsFromReceipt(const platform::Data& receipt) {
  APMInAppPurchaseItems items;
  std::shared_ptr<APMInAppPurchaseItem> current;
  std::set<int> taken;
  const auto keep = [&] {
    if (current && nonEmpty(current->productID) && (items.empty() || items.back() != current)) items.push_back(current);
  };
  for (std::size_t pos = 0; pos < receipt.size(); ++pos) {
    if (receipt[pos] != 2) continue;
    if (APMReceiptSubdataMatchingPattern(receipt, pos, kPurchaseRecordHeader)) {
      keep();
      current = std::make_shared<APMInAppPurchaseItem>();
      taken.clear();
      continue;
    }
    if (!current) continue;
    for (const auto& [type, tag] : kAttributes) {
      if (taken.contains(type)) continue;
      const std::vector<std::uint8_t> pattern = {2, 2, 6, static_cast<std::uint8_t>(type & 0xff), 2, 1, kAny, 4, kAny,
                                                 tag, kAny};
      std::size_t matched = 0;
      const auto content = APMReceiptSubdataMatchingPattern(receipt, pos, pattern, &matched);
      if (!content) continue;
      setAttribute(*current, type, *content);
      taken.insert(type);
      pos += matched - 1;
      break;
    }
  }
  keep();
  return items;
}

std::optional<APMInAppPurchaseItems> APMPurchaseItemsMatching(const APMInAppPurchaseItems& items,
                                                              const std::optional<std::string>& productID,
                                                              const std::optional<double>& date) {
  if (items.empty() || (!productID && !date)) return std::nullopt;
  APMInAppPurchaseItems out;
  for (const auto& item : items) {
    if (productID && item->productID != productID) continue;
    // Receipts carry whole seconds.
    if (date) {
      const auto purchased = item->purchaseDate();
      if (!purchased || std::floor(*purchased) != std::floor(*date)) continue;
    }
    out.push_back(item);
  }
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return a->purchaseDate().value_or(0) < b->purchaseDate().value_or(0);
  });
  return out;
}

std::int64_t APMPurchaseDid(const std::string& originalTransactionID, const std::optional<std::int64_t>& webOrderLineItemID,
                            const std::string& productID) {
  if (originalTransactionID.empty() || productID.empty()) return -1;
  std::string text = originalTransactionID;
  if (webOrderLineItemID) text += std::to_string(*webOrderLineItemID);
  text += productID;
  return VULGzip::apm_64LSBMD5(platform::Data(text.begin(), text.end()));
}

void APMSetSubscriptionRenewalFlag(APMDictionary& parameters, const APMInAppPurchaseItems& productItems,
                                   const std::shared_ptr<const APMInAppPurchaseItem>& item) {
  if (productItems.empty() || !item || item->originalTransactionID == item->transactionID) return;
  const auto it = std::find(productItems.begin(), productItems.end(), item);
  std::shared_ptr<const APMInAppPurchaseItem> previous;
  if (it != productItems.end() && it != productItems.begin()) previous = *(it - 1);
  parameters[previous && previous->isFreeTrial() ? "sub_convert" : "sub_renew"] = APMInt64Object(1);
}

std::optional<std::int64_t> APMPriceMicros(const std::string& price, std::int64_t quantity) {
  const auto decimal = APMDecimal::parse(price);
  if (!decimal) return std::nullopt;
  const std::string plain = decimal->description();
  const bool negative = !plain.empty() && plain[0] == '-';
  const std::string digits = negative ? plain.substr(1) : plain;
  const auto point = digits.find('.');
  const std::string whole = digits.substr(0, point);
  const std::string fraction = point == std::string::npos ? std::string() : digits.substr(point + 1);
  // Micro-units: the fraction's first six digits count, the rest are truncated after the product.
  __int128 mantissa = 0;
  for (const char c : whole + fraction) {
    mantissa = mantissa * 10 + (c - '0');
    if (mantissa > (static_cast<__int128>(1) << 100)) return std::nullopt;
  }
  __int128 value = mantissa * quantity;
  int exponent = 6 - static_cast<int>(fraction.size());
  for (; exponent > 0; --exponent) value *= 10;
  for (; exponent < 0; ++exponent) value /= 10;
  if (negative) value = -value;
  if (value > INT64_MAX || value < INT64_MIN) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::optional<APMDictionary> APMPurchaseEventParameters(const platform::store::Product* product,
                                                        const platform::store::PaymentTransaction* transaction,
                                                        const APMInAppPurchaseItems& items) {
  if (!product) {
    APMLog(8, 40026, "IAP Transaction cannot be created from nil product");
    return std::nullopt;
  }
  if (product->productIdentifier.empty()) {
    APMLog(8, 40027, "IAP Transaction cannot be created from empty or nil product ID");
    return std::nullopt;
  }
  if (!transaction) {
    APMLog(8, 40028, "IAP Transaction cannot be created from nil transaction");
    return std::nullopt;
  }
  const std::string& productID = product->productIdentifier;
  const std::int64_t quantity = transaction->payment.quantity;
  APMDictionary base{{"product_id", stringValue(productID)}};
  if (product->price) {
    if (const auto micros = APMPriceMicros(*product->price, 1)) base["price"] = APMInt64Object(*micros);
    if (quantity != 0) {
      if (const auto value = APMPriceMicros(*product->price, quantity)) {
        base["value"] = APMInt64Object(*value);
        base["quantity"] = APMInt64Object(quantity);
      }
    }
  }
  if (product->currencyCode) base["currency"] = stringValue(*product->currencyCode);
  if (product->localizedTitle) base["product_name"] = stringValue(*product->localizedTitle);

  const auto& transactionID = transaction->transactionIdentifier;
  if (!nonEmpty(transactionID)) APMLog(8, 40003, "Transaction ID cannot be nil or empty.");
  const std::optional<std::string> originalID =
      transaction->originalTransaction ? transaction->originalTransaction->transactionIdentifier : std::nullopt;
  const bool restoredOrRenewed = nonEmpty(transactionID) && nonEmpty(originalID) && *transactionID != *originalID;

  const APMInAppPurchaseItems productItems = APMPurchaseItemsMatching(items, productID, std::nullopt).value_or(APMInAppPurchaseItems{});
  const auto last = productItems.empty() ? nullptr : productItems.back();
  APMDictionary result = base;
  if (!last) {
    APMLog(8, 40020, "Transaction missing in receipt will be reported as invalid", productID);
    result["invalid"] = APMInt64Object(1);
  } else if (last->purchaseType == kAPMPurchaseTypeNonConsumable && restoredOrRenewed) {
    APMLog(8, 40005, "Restore/repurchase of non-consumable item will be reported as invalid");
    result["invalid"] = APMInt64Object(1);
  } else {
    const bool subscription = last->purchaseType == kAPMPurchaseTypeNonRenewingSubscription ||
                              last->purchaseType == kAPMPurchaseTypeAutoRenewableSubscription ||
                              last->webOrderLineItemID.has_value();
    if (!subscription && productItems.size() == 1 && last->transactionID == last->originalTransactionID) {
      if (last->purchaseType == kAPMPurchaseTypeConsumable) {
        APMLog(8, 40021, "Transaction of consumable item will be reported");
      } else {
        APMLog(8, 40022, "Transaction of non-consumable item will be reported");
      }
      result["_did"] = APMInt64Object(APMPurchaseDid(last->originalTransactionID.value_or(""), std::nullopt,
                                               last->productID.value_or("")));
    } else if (!subscription && productItems.size() == 1) {
      APMLog(8, 40007,
             "Transaction with mismatched transaction ID and original transaction ID will be reported as consumable");
    } else {
      const std::optional<double> date =
          transaction->transactionDate ? std::optional<double>(transaction->transactionDate->timeIntervalSince1970())
                                       : std::nullopt;
      const APMInAppPurchaseItems dated =
          date ? APMPurchaseItemsMatching(items, std::nullopt, date).value_or(APMInAppPurchaseItems{})
               : APMInAppPurchaseItems{};
      if (dated.empty() && subscription) {
        APMLog(8, 40023, "Subscription transaction missing in receipt will be reported as invalid");
        result["invalid"] = APMInt64Object(1);
        result["subscription"] = APMInt64Object(1);
      } else if (dated.size() >= 2) {
        APMLog(8, 40024, "Subscription transaction with duplicate transaction date will be reported as invalid",
               productID, static_cast<long long>(dated.size()));
        result["invalid"] = APMInt64Object(1);
        result["subscription"] = APMInt64Object(1);
      } else {
        const auto matched = dated.empty() ? nullptr : dated.front();
        const std::string matchedOriginal = matched ? matched->originalTransactionID.value_or("") : std::string();
        const std::string matchedProduct = matched ? matched->productID.value_or("") : std::string();
        if (last->purchaseType == kAPMPurchaseTypeNonRenewingSubscription) {
          result["subscription"] = APMInt64Object(1);
          result["_did"] = APMInt64Object(APMPurchaseDid(matchedOriginal, std::nullopt, matchedProduct));
          APMLog(8, 40025, "Transaction of non-renewing subscription will be reported");
        } else {
          if (matched && matched->originalTransactionID == matched->transactionID) result["subscription"] = APMInt64Object(1);
          result["_did"] = APMInt64Object(
              APMPurchaseDid(matchedOriginal, matched ? matched->webOrderLineItemID : std::nullopt, matchedProduct));
          const bool freeTrial = matched && matched->isFreeTrial();
          const bool introductory = matched && matched->isIntroductoryOffer();
          bool ended = false;
          if (!freeTrial && !introductory) {
            APMLog(8, 40008, "Transaction of auto-renewable subscription will be reported");
            APMSetSubscriptionRenewalFlag(result, productItems, matched);
          }
          if (freeTrial) {
            result["free_trial"] = APMInt64Object(1);
            if (restoredOrRenewed) {
              APMLog(8, 40011, "Repurchase of free-trial auto-renewable subscription will be reported as invalid");
              result["invalid"] = APMInt64Object(1);
              ended = true;
            } else {
              APMLog(8, 40009, "Transaction of free-trial auto-renewable subscription will be reported");
            }
          }
          if (!ended && introductory) {
            result["price_is_discounted"] = APMInt64Object(1);
            APMSetSubscriptionRenewalFlag(result, productItems, matched);
            APMLog(8, 40018, "Transaction of introductory offer will be reported");
          }
          if (!ended && (freeTrial || introductory)) {
            APMLog(8, 40010, "Transaction of auto-renewable subscription renewal will be reported");
          }
        }
      }
    }
  }

  if (isOne(result, "free_trial")) {
    addFreeTrialPrices(result);
  } else if (isOne(result, "price_is_discounted") && product->introductoryPrice) {
    const auto& discount = *product->introductoryPrice;
    if (VULAppEnvironmentUtil::isSystemVersionAtLeast(11, 2) &&
        discount.paymentMode == platform::store::DiscountPaymentMode::FreeTrial) {
      addFreeTrialPrices(result);
    } else if (const auto micros = APMPriceMicros(discount.price, 1)) {
      if (const auto price = result.find("price"); price != result.end()) result["original_price"] = price->second;
      result["price"] = APMInt64Object(*micros);
      if (quantity != 0) {
        if (const auto value = APMPriceMicros(discount.price, quantity)) result["value"] = APMInt64Object(*value);
      }
    }
  }
  for (const std::string_view required : {"price", "value", "currency", "product_id"}) {
    if (!result.contains(required)) return std::nullopt;
  }
  return result;
}
