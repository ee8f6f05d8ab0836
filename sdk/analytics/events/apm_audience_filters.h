// Audience definitions as the measurement service delivers them: the validation every audience
// passes before it is stored, the validity of number and string filters, the regular expressions
// of string filters, and the result bit sets kept per audience. Definitions are untrusted input:
// nothing here throws, hangs or trusts a count, an ID or a pattern it was given.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "sdk/analytics/common/apm_object.h"
#include "sdk/analytics/messages/apmpb_messages.h"

class APMAudiencePatterns;
class APMRemoteConfig;

// Match types of a string filter and comparison types of a number filter.
enum APMStringMatchType : std::int32_t {
  kAPMMatchUnknown = 0,
  kAPMMatchRegexp = 1,
  kAPMMatchBeginsWith = 2,
  kAPMMatchEndsWith = 3,
  kAPMMatchContains = 4,
  kAPMMatchExact = 5,
  kAPMMatchInList = 6,
};
enum APMComparisonType : std::int32_t {
  kAPMComparisonUnknown = 0,
  kAPMComparisonLessThan = 1,
  kAPMComparisonGreaterThan = 2,
  kAPMComparisonEqual = 3,
  kAPMComparisonBetween = 4,
};

// A message as a monitor context: its class name.
APMObject APMMessageContext(const NANOMessageBase* message);
// The field index of `tag` in messages whose index is the tag minus one (every audience message).
constexpr std::int32_t APMAudienceField(std::int32_t tag) { return tag - 1; }

bool APMIsValidNumberFilter(const APMPBNumberFilter* filter);
// A regular-expression filter's pattern must compile: through `patterns` (compiled once and kept
// there) when given, else compiled for this check alone.
bool APMValidateStringFilter(const APMPBStringFilter* filter, APMAudiencePatterns* patterns);
bool APMIsValidStringFilter(const APMPBStringFilter* filter);
// Whether the audience may be stored; `acceptedIDs` holds the audiences already accepted from the
// same configuration. The limits are read from `config` on every call.
bool APMValidateAudience(const APMPBAudience& audience, const std::set<std::int32_t>& acceptedIDs,
                         APMRemoteConfig& config, platform::Error* error);

// The bit sets of a stored result: word filterID / 64, bit filterID % 64.
struct APMResultWords {
  std::vector<std::uint64_t> status;
  std::vector<std::uint64_t> results;

  static APMResultWords fromResultData(const APMPBResultData& data);
  void writeTo(APMPBResultData& data) const;
  // Negative IDs have no place in the sets.
  bool isEvaluated(std::int32_t filterID) const;
  bool isTrue(std::int32_t filterID) const;
  void set(std::int32_t filterID, bool result);
  void clear(std::int32_t filterID);
  bool anyEvaluated() const;
};
