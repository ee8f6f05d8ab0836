// Builds a URL as text: a base, path components (escaped or as given) and query parameters in
// the order appended.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

class RLZURLBuilder {
 public:
  static RLZURLBuilder URLWithBase(std::string_view base);

  // An empty component is refused with an error log.
  void appendComponent(std::string_view component);
  void escapeAndAppendComponent(std::string_view component);
  // Nothing for a null value; a value that is not a string goes in as its description.
  void appendValue(const platform::Value& value, std::string_view queryParam);
  std::string URL() const { return URLString_; }

  // Percent-encodes everything outside the URL-query-allowed characters.
  static std::string escapeString(std::string_view text);

 private:
  std::string URLString_;
  std::size_t queryParams_ = 0;
};
