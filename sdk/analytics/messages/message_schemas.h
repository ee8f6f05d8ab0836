// The field tables of the 33 analytics messages: for each field, in field-index order, its name,
// wire tag, type code and (for message kinds) the schema of its element.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "sdk/analytics/messages/message_info.h"

struct NANOFieldSchema {
  const char* name;
  std::uint32_t tag;
  std::int32_t typeCode;
  const NANOMessageSchema* child;  // message kinds only
};

inline constexpr std::uint32_t kNANOMaxFields = 64;
inline constexpr std::uint32_t kNANOMaxTag = 127;
inline constexpr std::uint8_t kNANONoRank = 0xFF;

struct NANOMessageSchema {
  const char* name;
  std::uint32_t fieldCount;
  const NANOFieldSchema* fields;   // index order
  const std::int32_t* typeCodes;   // index order
  const std::uint8_t* tagOrder;    // field indexes in tag order, the order of the encoding
  const std::int8_t* indexByTag;   // kNANOMaxTag + 1 entries, -1 for tags the message lacks
  std::uint32_t repeatedCount;     // repeated fields of the message itself
  // For singular numbers (bool, enum, integers, floating point), their rank among them; the
  // record engine keeps a cell for each in the record's own block.
  const std::uint8_t* numberRank;  // index order, kNANONoRank for other fields
  std::uint32_t numberCount;

  // The field index of a wire tag, or -1.
  int indexOfTag(std::uint32_t tag) const { return tag <= kNANOMaxTag ? indexByTag[tag] : -1; }
};

extern const NANOMessageSchema kNANOAppPropertySchema;
extern const NANOMessageSchema kNANOAudienceSchema;
extern const NANOMessageSchema kNANOAudienceLeafFilterResultSchema;
extern const NANOMessageSchema kNANOClientPropertySchema;
extern const NANOMessageSchema kNANOCustomPropertySchema;
extern const NANOMessageSchema kNANODataControlSchema;
extern const NANOMessageSchema kNANODynamicFilterResultTimestampSchema;
extern const NANOMessageSchema kNANOEventSchema;
extern const NANOMessageSchema kNANOEventConfigSchema;
extern const NANOMessageSchema kNANOEventFilterSchema;
extern const NANOMessageSchema kNANOEventParamSchema;
extern const NANOMessageSchema kNANOExperimentSchema;
extern const NANOMessageSchema kNANOExperimentRequestSchema;
extern const NANOMessageSchema kNANOExperimentResponseSchema;
extern const NANOMessageSchema kNANOFilterSchema;
extern const NANOMessageSchema kNANOFlagSchema;
extern const NANOMessageSchema kNANOMeasurementBatchSchema;
extern const NANOMessageSchema kNANOMeasurementBundleSchema;
extern const NANOMessageSchema kNANOMeasurementConfigSchema;
extern const NANOMessageSchema kNANONumberFilterSchema;
extern const NANOMessageSchema kNANOOgtActivitiesSchema;
extern const NANOMessageSchema kNANOOgtActivitySchema;
extern const NANOMessageSchema kNANOProgramSchema;
extern const NANOMessageSchema kNANOPropertyFilterSchema;
extern const NANOMessageSchema kNANORegionSchema;
extern const NANOMessageSchema kNANOResultDataSchema;
extern const NANOMessageSchema kNANORuntimeEntitySchema;
extern const NANOMessageSchema kNANOSdkResponseSchema;
extern const NANOMessageSchema kNANOSequenceFilterResultTimestampSchema;
extern const NANOMessageSchema kNANOSettingSchema;
extern const NANOMessageSchema kNANOSnapshotSchema;
extern const NANOMessageSchema kNANOStringFilterSchema;
extern const NANOMessageSchema kNANOUserAttributeSchema;

// Every message schema, in name order.
std::span<const NANOMessageSchema* const> NANOAllMessageSchemas();
// Whether the message has repeated fields at any depth: its decoding counts them first.
bool NANOMessageSchemaIsTwoPass(const NANOMessageSchema& schema);
// The schema of a message name ("Event"), or null.
const NANOMessageSchema* NANOMessageSchemaNamed(std::string_view name);
