#include "platform/store/receipt_builder.h"

#include <ctime>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"

namespace platform::store {

namespace {

constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kUTF8String = 0x0c;
constexpr std::uint8_t kIA5String = 0x16;
constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kSet = 0x31;

// DER length octets: short form below 128, else the long form.
void appendLength(Data& out, std::size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<std::uint8_t>(length));
    return;
  }
  Data bytes;
  for (std::size_t n = length; n != 0; n >>= 8) bytes.insert(bytes.begin(), static_cast<std::uint8_t>(n & 0xff));
  out.push_back(static_cast<std::uint8_t>(0x80 | bytes.size()));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

Data element(std::uint8_t tag, const Data& content) {
  Data out{tag};
  appendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// The shortest two's-complement big-endian form.
Data integerContent(std::int64_t value) {
  Data out;
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xff));
  while (out.size() > 1 && ((out[0] == 0 && (out[1] & 0x80) == 0) || (out[0] == 0xff && (out[1] & 0x80) != 0))) {
    out.erase(out.begin());
  }
  return out;
}

Data text(std::string_view s) { return Data(s.begin(), s.end()); }

// A typed attribute: SEQUENCE { INTEGER type, INTEGER version, OCTET STRING { value } }. The type
// is always written in two bytes, as the store does for its 17xx types.
Data attribute(int type, const Data& value) {
  Data body{kInteger, 2, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type & 0xff)};
  const Data version = element(kInteger, {1});
  body.insert(body.end(), version.begin(), version.end());
  const Data wrapped = element(kOctetString, value);
  body.insert(body.end(), wrapped.begin(), wrapped.end());
  return element(kSequence, body);
}

void append(Data& out, const Data& more) { out.insert(out.end(), more.begin(), more.end()); }

Data purchaseRecord(const ReceiptPurchase& p) {
  Data attributes;
  append(attributes, attribute(ReceiptBuilder::kProductID, element(kUTF8String, text(p.productID))));
  append(attributes, attribute(ReceiptBuilder::kTransactionID, element(kUTF8String, text(p.transactionID))));
  append(attributes, attribute(ReceiptBuilder::kPurchaseDate, element(kIA5String, text(p.purchaseDate))));
  append(attributes,
         attribute(ReceiptBuilder::kOriginalTransactionID, element(kUTF8String, text(p.originalTransactionID))));
  if (p.originalPurchaseDate) {
    append(attributes, attribute(ReceiptBuilder::kOriginalPurchaseDate, element(kIA5String, text(*p.originalPurchaseDate))));
  }
  if (p.purchaseType) {
    append(attributes, attribute(ReceiptBuilder::kPurchaseType,
                                 element(kInteger, integerContent(static_cast<std::int64_t>(*p.purchaseType)))));
  }
  if (p.subscriptionExpirationDate) {
    append(attributes, attribute(ReceiptBuilder::kSubscriptionExpirationDate,
                                 element(kIA5String, text(*p.subscriptionExpirationDate))));
  }
  if (p.webOrderLineItemID) {
    append(attributes,
           attribute(ReceiptBuilder::kWebOrderLineItemID, element(kInteger, integerContent(*p.webOrderLineItemID))));
  }
  if (p.cancellationDate) {
    append(attributes, attribute(ReceiptBuilder::kCancellationDate, element(kIA5String, text(*p.cancellationDate))));
  }
  append(attributes, attribute(ReceiptBuilder::kFreeTrial, element(kInteger, {p.freeTrial ? std::uint8_t{1} : std::uint8_t{0}})));
  append(attributes, attribute(ReceiptBuilder::kIntroductoryOffer,
                               element(kInteger, {p.introductoryOffer ? std::uint8_t{1} : std::uint8_t{0}})));
  // The in-app record: SEQUENCE { INTEGER 17, INTEGER version, OCTET STRING { SET { ... } } }.
  Data record{kInteger, 1, 17};
  append(record, element(kInteger, {1}));
  append(record, element(kOctetString, element(kSet, attributes)));
  return element(kSequence, record);
}

}  // namespace

ReceiptBuilder& ReceiptBuilder::add(ReceiptPurchase purchase) {
  purchases_.push_back(std::move(purchase));
  return *this;
}

Data ReceiptBuilder::data() const {
  // The payload set: the bundle's own attributes first (type 2, the bundle identifier), then one
  // record per purchase.
  const auto bundle = Bundle::main();
  Data payload = attribute(2, element(kUTF8String, text(bundle ? bundle->bundleIdentifier() : std::string())));
  for (const auto& purchase : purchases_) append(payload, purchaseRecord(purchase));
  return element(kSet, payload);
}

std::optional<std::filesystem::path> ReceiptBuilder::install(bool sandbox) const {
  const auto bundle = Bundle::main();
  if (!bundle) return std::nullopt;
  uninstall();
  const auto folder = bundle->bundlePath() / "StoreKit";
  auto& files = FileManager::defaultManager();
  if (!files.createDirectory(folder)) return std::nullopt;
  const auto path = folder / (sandbox ? "sandboxReceipt" : "receipt");
  if (!files.writeAtomically(path, data())) return std::nullopt;
  return path;
}

void ReceiptBuilder::uninstall() {
  const auto bundle = Bundle::main();
  if (!bundle) return;
  auto& files = FileManager::defaultManager();
  files.removeItem(bundle->bundlePath() / "StoreKit" / "receipt");
  files.removeItem(bundle->bundlePath() / "StoreKit" / "sandboxReceipt");
}

std::string ReceiptBuilder::dateText(double secondsSince1970) {
  const std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

}  // namespace platform::store
