#include "sdk/crash/network/rlz_url_builder.h"

#include "platform/foundation/strings.h"
#include "sdk/crash/launch/rlz_logging.h"

RLZURLBuilder RLZURLBuilder::URLWithBase(std::string_view base) {
  RLZURLBuilder builder;
  builder.appendComponent(base);
  return builder;
}

void RLZURLBuilder::appendComponent(std::string_view component) {
  if (component.empty()) {
    RLZErrorLog("URLBuilder parameter component must not be empty");
    return;
  }
  URLString_ += component;
}

void RLZURLBuilder::escapeAndAppendComponent(std::string_view component) { appendComponent(escapeString(component)); }

void RLZURLBuilder::appendValue(const platform::Value& value, std::string_view queryParam) {
  if (value.isNull()) return;
  URLString_ += queryParams_ == 0 ? "?" : "&";
  ++queryParams_;
  URLString_ += queryParam;
  URLString_ += "=";
  URLString_ += escapeString(value.isString() ? *value.ifString() : value.description());
}

std::string RLZURLBuilder::escapeString(std::string_view text) {
  return platform::strings::addingPercentEncoding(text, platform::strings::CharacterSet::urlQueryAllowed());
}
