#include "sdk/analytics/events/apm_audience_filters.h"

#include "sdk/analytics/common/apm_decimal.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/events/apm_audience_patterns.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace {

constexpr std::int32_t F(std::int32_t tag) { return APMAudienceField(tag); }

bool hasNonEmptyString(const NANOMessageBase* message, std::int32_t tag) {
  const auto value = NANOGetString(message, F(tag));
  return value && !value->empty();
}

}  // namespace

APMObject APMMessageContext(const NANOMessageBase* message) {
  if (!message) return APMObject();
  return APMObject(APMOpaqueObject{std::string("APMPB") + message->messageID(), ""});
}

bool APMIsValidNumberFilter(const APMPBNumberFilter* filter) {
  const APMObject context = APMMessageContext(filter);
  if (!filter || !NANOHasField(filter, F(1))) {
    APMLog(1, 8006, "Number filter has no comparison type", context);
    return false;
  }
  const auto decimalAt = [&](std::int32_t tag) {
    const auto value = NANOGetString(filter, F(tag));
    return value && APMIsDecimalNumberString(*value);
  };
  switch (NANOGetInt32(filter, F(1))) {
    case kAPMComparisonLessThan:
    case kAPMComparisonGreaterThan:
    case kAPMComparisonEqual:
      if (decimalAt(3)) return true;
      APMLog(1, 8008, "Numeric filter does not have a valid comparison value. Filter", context);
      return false;
    case kAPMComparisonBetween: {
      const bool minimum = decimalAt(4);
      if (!minimum) APMLog(1, 8009, "Numeric filter does not have a valid min comparison value. Filter", context);
      const bool maximum = decimalAt(5);
      if (!maximum) APMLog(1, 8010, "Numeric filter does not have a valid max comparison value. Filter", context);
      return minimum && maximum;
    }
    case kAPMComparisonUnknown:
      APMLog(1, 8007, "Number filter has unknown comparison type", context);
      return false;
    default:
      APMLog(1, 8011, "Number filter has a real unknown comparison type", context);
      return false;
  }
}

bool APMValidateStringFilter(const APMPBStringFilter* filter, APMAudiencePatterns* patterns) {
  const APMObject context = APMMessageContext(filter);
  if (!filter || !NANOHasField(filter, F(1))) {
    APMLog(1, 9000, "String filter has no match type", context);
    return false;
  }
  const std::int32_t type = NANOGetInt32(filter, F(1));
  if (type == kAPMMatchInList) {
    const auto list = NANOGetArray(filter, F(4));
    if (list && !list->empty()) return true;
    APMLog(1, 9003, "String filter has no expression list", context);
    return false;
  }
  if (type == kAPMMatchUnknown) {
    APMLog(1, 9001, "String filter has unknown match type", context);
    return false;
  }
  const auto expression = NANOGetString(filter, F(2));
  if (!expression) {
    APMLog(1, 9002, "String filter has no expression", context);
    return false;
  }
  if (type != kAPMMatchRegexp) return true;
  platform::Error error;
  const bool caseInsensitive = !NANOGetBool(filter, F(3));
  const bool compiles = patterns ? patterns->compiles(*expression, caseInsensitive, &error)
                                 : APMRegularExpression::compile(*expression, caseInsensitive, &error) != nullptr;
  if (!compiles) {
    APMLog(1, 9004, "Unable to parse regular expression", context, error);
    return false;
  }
  return true;
}

bool APMIsValidStringFilter(const APMPBStringFilter* filter) { return APMValidateStringFilter(filter, nullptr); }

namespace {

// One of a string filter and a number filter: 0 when it holds exactly one and it is valid, else
// the failing row (1 both or neither, 2 invalid number filter, 3 invalid string filter).
int checkFilter(const APMPBFilter& filter) {
  const auto stringFilter = NANOGetMessage<APMPBStringFilter>(&filter, F(1));
  const auto numberFilter = NANOGetMessage<APMPBNumberFilter>(&filter, F(2));
  if (static_cast<bool>(stringFilter) == static_cast<bool>(numberFilter)) return 1;
  if (numberFilter && !APMIsValidNumberFilter(numberFilter.get())) return 2;
  if (stringFilter && !APMIsValidStringFilter(stringFilter.get())) return 3;
  return 0;
}

bool validateEventFilter(const APMPBEventFilter& filter, std::set<std::int32_t>& filterIDs, std::int32_t maxFilters,
                         std::int32_t maxParameters, platform::Error* error) {
  const auto fail = [&](const char* message) {
    APMSetError(error, 10, message);
    return false;
  };
  if (!hasNonEmptyString(&filter, 2)) return fail("Event filter missing event name");
  if (!NANOHasField(&filter, F(1))) return fail("Missing event filter ID");
  const std::int32_t filterID = NANOGetInt32(&filter, F(1));
  if (filterID < 0 || filterID >= maxFilters) return fail("Event filter ID is out of range");
  if (!filterIDs.insert(filterID).second) return fail("Duplicate event filter ID");
  if (const auto countFilter = NANOGetMessage<APMPBNumberFilter>(&filter, F(5))) {
    if (NANOGetBool(countFilter.get(), F(2))) return fail("Event filter has float event count filter");
    if (!APMIsValidNumberFilter(countFilter.get())) return fail("Event filter has invalid event count filter");
  }
  const auto filters = NANOGetArray<APMPBFilter>(&filter, F(3)).value_or(std::vector<std::shared_ptr<APMPBFilter>>{});
  if (filters.size() > static_cast<std::size_t>(std::max(maxParameters, 0))) {
    return fail("Event filter parameters filters count out of range");
  }
  for (const auto& parameterFilter : filters) {
    if (!hasNonEmptyString(parameterFilter.get(), 4)) return fail("Event filter missing parameter name");
    switch (checkFilter(*parameterFilter)) {
      case 1: return fail("Event filter must have exactly one of number or string filter");
      case 2: return fail("Event filter has invalid number filter");
      case 3: return fail("Event filter has invalid string filter");
      default: break;
    }
  }
  return true;
}

bool validatePropertyFilter(const APMPBPropertyFilter& filter, std::set<std::int32_t>& filterIDs,
                            std::int32_t maxFilters, platform::Error* error) {
  const auto fail = [&](const char* message) {
    APMSetError(error, 11, message);
    return false;
  };
  if (!hasNonEmptyString(&filter, 2)) return fail("Property filter missing property name");
  if (!NANOHasField(&filter, F(1))) return fail("Missing property filter ID");
  const std::int32_t filterID = NANOGetInt32(&filter, F(1));
  if (filterID < 0 || filterID >= maxFilters) return fail("Property filter ID is out of range");
  if (!filterIDs.insert(filterID).second) return fail("Duplicate property filter ID");
  const auto inner = NANOGetMessage<APMPBFilter>(&filter, F(3));
  if (!inner) return fail("Property filter has no filter");
  switch (checkFilter(*inner)) {
    // The invalid number filter shares the text of the both-or-neither row, as the service knows it.
    case 1:
    case 2: return fail("Property filter must have exactly one of number or string filter");
    case 3: return fail("Property filter has invalid string filter");
    default: return true;
  }
}

}  // namespace

bool APMValidateAudience(const APMPBAudience& audience, const std::set<std::int32_t>& acceptedIDs,
                         APMRemoteConfig& config, platform::Error* error) {
  const auto fail = [&](const char* message) {
    APMSetError(error, 9, message);
    return false;
  };
  if (!NANOHasField(&audience, F(1))) return fail("Missing audience ID");
  const std::int32_t audienceID = NANOGetInt32(&audience, F(1));
  if (audienceID < 0) return fail("Audience ID is negative");
  if (acceptedIDs.contains(audienceID)) return fail("Duplicate audience ID");
  const auto propertyFilters = NANOGetArray<APMPBPropertyFilter>(&audience, F(2));
  const auto eventFilters = NANOGetArray<APMPBEventFilter>(&audience, F(3));
  if (!propertyFilters && !eventFilters) return fail("Audience missing filters arrays");
  const std::int32_t maxFilters = config.maxFiltersPerAudience();
  const std::size_t count = (propertyFilters ? propertyFilters->size() : 0) + (eventFilters ? eventFilters->size() : 0);
  if (count < 1 || count > static_cast<std::size_t>(std::max(maxFilters, 0))) {
    return fail("Audience filter count out of range");
  }
  std::set<std::int32_t> filterIDs;
  if (eventFilters) {
    const std::int32_t maxParameters = config.maxParametersPerFilter();
    for (const auto& filter : *eventFilters) {
      if (!validateEventFilter(*filter, filterIDs, maxFilters, maxParameters, error)) return false;
    }
  }
  if (propertyFilters) {
    for (const auto& filter : *propertyFilters) {
      if (!validatePropertyFilter(*filter, filterIDs, maxFilters, error)) return false;
    }
  }
  return true;
}

APMResultWords APMResultWords::fromResultData(const APMPBResultData& data) {
  const auto read = [&](std::int32_t tag) {
    std::vector<std::uint64_t> words;
    for (const platform::Value& word : NANOGetArray(&data, F(tag)).value_or(platform::Value::Array{})) {
      words.push_back(word.unsignedValue());
    }
    return words;
  };
  return APMResultWords{read(1), read(2)};
}

void APMResultWords::writeTo(APMPBResultData& data) const {
  const auto write = [&](std::int32_t tag, const std::vector<std::uint64_t>& words) {
    platform::Value::Array array;
    for (std::uint64_t word : words) array.emplace_back(static_cast<unsigned long long>(word));
    NANOSetArray(&data, F(tag), platform::Value(std::move(array)));
  };
  write(1, status);
  write(2, results);
}

namespace {
bool bitIn(const std::vector<std::uint64_t>& words, std::int32_t filterID) {
  if (filterID < 0) return false;
  const std::size_t word = static_cast<std::size_t>(filterID) / 64;
  return word < words.size() && (words[word] >> (filterID % 64) & 1u) != 0;
}
}  // namespace

bool APMResultWords::isEvaluated(std::int32_t filterID) const { return bitIn(status, filterID); }
bool APMResultWords::isTrue(std::int32_t filterID) const { return isEvaluated(filterID) && bitIn(results, filterID); }

void APMResultWords::set(std::int32_t filterID, bool result) {
  if (filterID < 0) return;
  const std::size_t word = static_cast<std::size_t>(filterID) / 64;
  const std::uint64_t bit = std::uint64_t{1} << (filterID % 64);
  if (status.size() <= word) status.resize(word + 1, 0);
  if (results.size() <= word) results.resize(word + 1, 0);
  status[word] |= bit;
  if (result) {
    results[word] |= bit;
  } else {
    results[word] &= ~bit;
  }
}

void APMResultWords::clear(std::int32_t filterID) {
  if (filterID < 0) return;
  const std::size_t word = static_cast<std::size_t>(filterID) / 64;
  const std::uint64_t bit = std::uint64_t{1} << (filterID % 64);
  if (word < status.size()) status[word] &= ~bit;
  if (word < results.size()) results[word] &= ~bit;
}

bool APMResultWords::anyEvaluated() const {
  for (std::uint64_t word : status) {
    if (word != 0) return true;
  }
  return false;
}
