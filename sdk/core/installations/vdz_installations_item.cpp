#include "sdk/core/installations/vdz_installations_item.h"

#include <algorithm>
#include <vector>

#include "platform/foundation/data_encoding.h"
#include "platform/foundation/format.h"
#include "platform/foundation/json.h"
#include "platform/foundation/uuid.h"
#include "sdk/core/installations/vdz_installations_errors.h"

using platform::Error;
using platform::Value;

std::shared_ptr<VDZInstallationsItem> VDZInstallationsItem::copy() const {
  auto item = std::make_shared<VDZInstallationsItem>(*this);
  if (authToken) item->authToken = authToken->copy();
  return item;
}

void VDZInstallationsItem::updateWithStoredItem(const VDZInstallationsStoredItem& item) {
  vuduzaraInstallationID = item.vuduzaraInstallationID;
  refreshToken = item.refreshToken;
  authToken = item.authToken;
  registrationStatus = item.registrationStatus;
  IIDDefaultToken = item.IIDDefaultToken;
}

std::shared_ptr<VDZInstallationsStoredItem> VDZInstallationsItem::storedItem() const {
  auto item = std::make_shared<VDZInstallationsStoredItem>();
  item->vuduzaraInstallationID = vuduzaraInstallationID;
  item->refreshToken = refreshToken;
  item->authToken = authToken;
  item->registrationStatus = registrationStatus;
  item->IIDDefaultToken = IIDDefaultToken;
  return item;
}

std::string VDZInstallationsItem::identifierWithAppID(std::string_view appID, std::string_view appName) {
  return std::string(appID) + std::string(appName);
}

bool VDZInstallationsItem::isValid(Error* error) const {
  std::vector<std::string> problems;
  const auto empty = [](const std::optional<std::string>& s) { return !s || s->empty(); };
  if (appID_.empty()) problems.emplace_back("`appID` must not be empty");
  if (vuduzaraAppName_.empty()) problems.emplace_back("`vuduzaraAppName` must not be empty");
  if (empty(vuduzaraInstallationID)) problems.emplace_back("`vuduzaraInstallationID` must not be empty");
  switch (registrationStatus) {
    case VDZInstallationsRegistrationStatusUnknown:
      problems.emplace_back("invalid `registrationStatus`");
      break;
    case VDZInstallationsRegistrationStatusRegistered:
      if (empty(refreshToken)) problems.emplace_back("registered installation must have non-empty `refreshToken`");
      if (!authToken || empty(authToken->token)) {
        problems.emplace_back("registered installation must have non-empty `authToken.token`");
      }
      if (!authToken || !authToken->expirationDate) {
        problems.emplace_back("registered installation must have non-empty `authToken.expirationDate`");
      }
      break;
    default:
      break;
  }
  if (problems.empty()) return true;
  if (error) {
    std::string joined;
    for (const auto& p : problems) joined += (joined.empty() ? "" : ", ") + p;
    *error = VDZInstallationsErrorUtil::installationsErrorWithCode(
        VDZInstallationsErrorCodeUnknown, platform::format("VDZInstallationsItem validation errors: %@", joined),
        nullptr);
  }
  return false;
}

std::string VDZInstallationsItem::generateFID() {
  const platform::UUID uuid;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(17);
  bytes.push_back(static_cast<std::uint8_t>(0x70 | (uuid.bytes()[15] & 0x0F)));
  bytes.insert(bytes.end(), uuid.bytes().begin(), uuid.bytes().end());
  return base64URLEncodedStringWithData(bytes).substr(0, 22);
}

namespace {

bool isURLSafeBase64Text(std::string_view text, std::size_t length) {
  const auto urlSafeBase64 = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  };
  return text.size() == length && std::all_of(text.begin(), text.end(), urlSafeBase64);
}

}  // namespace

bool VDZInstallationsItem::isInstallationIDForm(std::string_view fid) { return isURLSafeBase64Text(fid, 22); }

bool VDZInstallationsItem::isLegacyInstallationIDForm(std::string_view fid) { return isURLSafeBase64Text(fid, 11); }

bool VDZInstallationsItem::isInstallationIDOrLegacyForm(std::string_view fid) {
  return isInstallationIDForm(fid) || isLegacyInstallationIDForm(fid);
}

std::string VDZInstallationsItem::base64URLEncodedStringWithData(std::span<const std::uint8_t> data) {
  std::string text = platform::DataEncoding::base64Encode(data);
  std::replace(text.begin(), text.end(), '/', '_');
  std::replace(text.begin(), text.end(), '+', '-');
  return text;
}

std::optional<Value::Dictionary> VDZInstallationsItem::dictionaryFromJSONData(const platform::Data& data,
                                                                              Error* error) {
  Error parseError;
  auto value = platform::JSON::parse(data, &parseError);
  if (!value || !value->isDictionary()) {
    if (error) *error = VDZInstallationsErrorUtil::JSONSerializationError(&parseError);
    return std::nullopt;
  }
  return *value->ifDictionary();
}

std::optional<std::string> VDZInstallationsItem::validStringOrNilForKey(std::string_view key,
                                                                        const Value::Dictionary& dict) {
  auto it = dict.find(key);
  if (it == dict.end() || !it->second.isString() || it->second.ifString()->empty()) return std::nullopt;
  return *it->second.ifString();
}

namespace {

// "604800s" is 604800 seconds; a text without its unit letter is whole seconds as well.
std::optional<double> secondsFromExpiresIn(std::string text) {
  if (!text.empty() && !(text.back() >= '0' && text.back() <= '9')) text.pop_back();
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) {
    return std::nullopt;
  }
  return Value(text).doubleValue();
}

}  // namespace

std::shared_ptr<VDZInstallationsStoredAuthToken> VDZInstallationsItem::authTokenWithJSONDict(
    const Value::Dictionary& dict, platform::Date date, Error* error) {
  auto token = validStringOrNilForKey("token", dict);
  if (!token) {
    if (error) *error = VDZInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField("authToken.token");
    return nullptr;
  }
  auto expiresInText = validStringOrNilForKey("expiresIn", dict);
  std::optional<double> expiresIn = expiresInText ? secondsFromExpiresIn(*expiresInText) : std::nullopt;
  if (!expiresIn) {
    if (error) *error = VDZInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField("authToken.expiresIn");
    return nullptr;
  }
  auto result = std::make_shared<VDZInstallationsStoredAuthToken>();
  result->status = VDZInstallationsAuthTokenStatusTokenReceived;
  result->token = *token;
  result->expirationDate = date.addingTimeInterval(*expiresIn);
  return result;
}

std::shared_ptr<VDZInstallationsStoredAuthToken> VDZInstallationsItem::authTokenWithGenerateTokenAPIJSONData(
    const platform::Data& data, platform::Date date, Error* error) {
  auto dict = dictionaryFromJSONData(data, error);
  if (!dict) return nullptr;
  return authTokenWithJSONDict(*dict, date, error);
}

std::shared_ptr<VDZInstallationsItem> VDZInstallationsItem::registeredInstallationWithJSONData(
    const platform::Data& data, platform::Date date, Error* error) const {
  auto dict = dictionaryFromJSONData(data, error);
  if (!dict) return nullptr;
  auto refresh = validStringOrNilForKey("refreshToken", *dict);
  if (!refresh) {
    if (error) *error = VDZInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField("refreshToken");
    return nullptr;
  }
  auto authDict = dict->find("authToken");
  if (authDict == dict->end() || !authDict->second.isDictionary()) {
    if (error) *error = VDZInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField("authToken");
    return nullptr;
  }
  auto token = authTokenWithJSONDict(*authDict->second.ifDictionary(), date, error);
  if (!token) return nullptr;
  // The answered identifier goes into later request paths. The one sent is taken back as it is: a
  // legacy identifier carried into registration is shorter.
  auto answeredFID = validStringOrNilForKey("fid", *dict);
  if (answeredFID && answeredFID != vuduzaraInstallationID && !isInstallationIDForm(*answeredFID)) {
    if (error) *error = VDZInstallationsErrorUtil::FIDRegistrationErrorWithResponseFieldNotAnInstallationID("fid");
    return nullptr;
  }
  auto item = std::make_shared<VDZInstallationsItem>(appID_, vuduzaraAppName_);
  item->vuduzaraInstallationID = answeredFID ? answeredFID : vuduzaraInstallationID;
  item->refreshToken = refresh;
  item->authToken = token;
  item->registrationStatus = VDZInstallationsRegistrationStatusRegistered;
  return item;
}
