#include "sdk/analytics/common/apm_foundation_extensions.h"

#include "platform/foundation/strings.h"
#include "platform/security/digest.h"

platform::Data VULGzip::apm_MD5Data(const platform::Data& data) {
  const auto digest = platform::Digest::md5(data);
  return platform::Data(digest.begin(), digest.end());
}

std::int64_t VULGzip::apm_64LeastSignificantBits(const platform::Data& data) {
  std::uint64_t value = 0;
  const std::size_t start = data.size() > 8 ? data.size() - 8 : 0;
  for (std::size_t i = start; i < data.size(); ++i) value = (value << 8) | data[i];
  return static_cast<std::int64_t>(value);
}

std::int64_t VULGzip::apm_64LSBMD5(const platform::Data& data) { return apm_64LeastSignificantBits(apm_MD5Data(data)); }

std::string APMNSDictionaryQuery::apm_queryString(const std::vector<std::pair<std::string, platform::Value>>& entries) {
  const auto& allowed = platform::strings::CharacterSet::urlQueryAllowed();
  std::string out;
  for (const auto& [key, value] : entries) {
    if (!out.empty()) out += "&";
    const std::string text = value.isString() ? value.string() : value.description();
    out += platform::strings::addingPercentEncoding(key, allowed) + "=" +
           platform::strings::addingPercentEncoding(text, allowed);
  }
  return out;
}

std::string APMNSDictionaryQuery::apm_queryString(const platform::Value::Dictionary& dictionary) {
  return apm_queryString(std::vector<std::pair<std::string, platform::Value>>(dictionary.begin(), dictionary.end()));
}

platform::Value::Dictionary APMNSDictionaryQuery::apm_dictionaryWithHttpArgumentsString(std::string_view string) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t amp = string.find('&', start);
    parts.push_back(string.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  platform::Value::Dictionary out;
  // Backwards, later writes replacing earlier ones: the first occurrence wins.
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    const std::string_view part = *it;
    if (part.empty()) continue;
    const std::size_t eq = part.find('=');
    if (eq == std::string_view::npos) {
      out[APMD5Additions::apm_stringByUnescapingFromURLArgument(part).value_or("")] = "";
      continue;
    }
    const std::string key = APMD5Additions::apm_stringByUnescapingFromURLArgument(part.substr(0, eq)).value_or("");
    out[key] = APMD5Additions::apm_stringByUnescapingFromURLArgument(part.substr(eq + 1)).value_or("");
  }
  return out;
}

std::optional<std::string> APMD5Additions::apm_MD5String(std::string_view string) {
  if (!platform::strings::isValidUTF8(string)) return std::nullopt;
  const platform::Data digest = VULGzip::apm_MD5Data(platform::Data(string.begin(), string.end()));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t byte : digest) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

std::optional<std::string> APMD5Additions::apm_stringByUnescapingFromURLArgument(std::string_view string) {
  std::string spaced(string);
  for (char& c : spaced) {
    if (c == '+') c = ' ';
  }
  return platform::strings::removingPercentEncoding(spaced);
}

std::size_t APMD5Additions::apm_UTF32Length(std::string_view string) { return platform::strings::codePointLength(string); }

std::size_t APMD5Additions::apm_getUTF32Bytes(std::string_view string, std::uint8_t* buffer, std::size_t maxBytes) {
  std::size_t written = 0;
  for (char32_t c : platform::strings::codePoints(string)) {
    if (written + 4 > maxBytes) break;
    for (int i = 0; i < 4; ++i) buffer[written++] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(c) >> (8 * i));
  }
  return written;
}
