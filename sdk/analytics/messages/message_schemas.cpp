#include "sdk/analytics/messages/message_schemas.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr std::int32_t BOOL = kNANOSingular | kNANOBool;
constexpr std::int32_t ENUM = kNANOSingular | kNANOEnum;
constexpr std::int32_t I32 = kNANOSingular | kNANOInt32;
constexpr std::int32_t I64 = kNANOSingular | kNANOInt64;
constexpr std::int32_t F32 = kNANOSingular | kNANOFloat;
constexpr std::int32_t F64 = kNANOSingular | kNANODouble;
constexpr std::int32_t STR = kNANOSingular | kNANOString;
constexpr std::int32_t MSG = kNANOSingular | kNANOMessage;
constexpr std::int32_t R_U32 = kNANORepeated | kNANOUInt32;
constexpr std::int32_t R_I64 = kNANORepeated | kNANOInt64;
constexpr std::int32_t R_U64 = kNANORepeated | kNANOUInt64;
constexpr std::int32_t R_STR = kNANORepeated | kNANOString;
constexpr std::int32_t R_MSG = kNANORepeated | kNANOMessage;

// What the engine derives from a field table once, at compile time.
template <std::size_t N>
struct Layout {
  std::int32_t typeCodes[N];
  std::uint8_t tagOrder[N];
  std::int8_t indexByTag[kNANOMaxTag + 1];
  std::uint32_t repeatedCount;
  std::uint8_t numberRank[N];
  std::uint32_t numberCount;
};

template <std::size_t N>
constexpr Layout<N> layoutOf(const NANOFieldSchema (&fields)[N]) {
  static_assert(N <= kNANOMaxFields);
  Layout<N> layout{};
  for (auto& index : layout.indexByTag) index = -1;
  for (std::size_t i = 0; i < N; ++i) {
    layout.typeCodes[i] = fields[i].typeCode;
    layout.indexByTag[fields[i].tag] = static_cast<std::int8_t>(i);
    if (fields[i].typeCode & kNANORepeated) ++layout.repeatedCount;
    const bool number = !(fields[i].typeCode & (kNANORepeated | kNANOString | kNANOBytes | kNANOMessage));
    layout.numberRank[i] = number ? static_cast<std::uint8_t>(layout.numberCount++) : kNANONoRank;
  }
  std::size_t next = 0;
  for (std::uint32_t tag = 0; tag <= kNANOMaxTag; ++tag) {
    if (layout.indexByTag[tag] >= 0) layout.tagOrder[next++] = static_cast<std::uint8_t>(layout.indexByTag[tag]);
  }
  return layout;
}

}  // namespace

#define NANO_MESSAGE(Name, ...)                                                                      \
  static constexpr NANOFieldSchema k##Name##Fields[] = {__VA_ARGS__};                                \
  static constexpr auto k##Name##Layout = layoutOf(k##Name##Fields);                                 \
  const NANOMessageSchema kNANO##Name##Schema = {#Name,                                              \
                                                 static_cast<std::uint32_t>(std::size(k##Name##Fields)), \
                                                 k##Name##Fields,                                    \
                                                 k##Name##Layout.typeCodes,                          \
                                                 k##Name##Layout.tagOrder,                           \
                                                 k##Name##Layout.indexByTag,                         \
                                                 k##Name##Layout.repeatedCount,                      \
                                                 k##Name##Layout.numberRank,                         \
                                                 k##Name##Layout.numberCount};

// Upload.
NANO_MESSAGE(MeasurementBatch, {"bundles", 1, R_MSG, &kNANOMeasurementBundleSchema})

// Index order differs from tag order here: tags 26 and 27 were slotted in after their neighbours.
NANO_MESSAGE(MeasurementBundle,
             {"protocol_version", 1, I32, nullptr},
             {"events", 2, R_MSG, &kNANOEventSchema},
             {"user_attributes", 3, R_MSG, &kNANOUserAttributeSchema},
             {"upload_timestamp_millis", 4, I64, nullptr},
             {"start_timestamp_millis", 5, I64, nullptr},
             {"end_timestamp_millis", 6, I64, nullptr},
             {"previous_bundle_start_timestamp_millis", 26, I64, nullptr},
             {"previous_bundle_end_timestamp_millis", 7, I64, nullptr},
             {"platform", 8, STR, nullptr},
             {"os_version", 9, STR, nullptr},
             {"device_model", 10, STR, nullptr},
             {"user_default_language", 11, STR, nullptr},
             {"time_zone_offset_minutes", 12, I32, nullptr},
             {"install_source", 13, STR, nullptr},
             {"app_id", 14, STR, nullptr},
             {"field_15", 15, I64, nullptr},
             {"app_version", 16, STR, nullptr},
             {"library_version", 17, I64, nullptr},
             {"upload_library_version", 18, I64, nullptr},
             {"resettable_device_id", 19, STR, nullptr},
             {"vendor_id", 27, STR, nullptr},
             {"limited_ad_tracking", 20, BOOL, nullptr},
             {"app_instance_id", 21, STR, nullptr},
             {"field_22", 22, I64, nullptr},
             {"bundle_index", 23, I32, nullptr},
             {"monitoring_data", 24, STR, nullptr},
             {"vmp_app_id", 25, STR, nullptr},
             {"field_28", 28, BOOL, nullptr},
             {"audience_evaluation_results", 29, R_MSG, &kNANOAudienceLeafFilterResultSchema},
             {"vuduzara_installation_id", 30, STR, nullptr},
             {"app_version_major", 31, I32, nullptr},
             {"app_version_minor", 32, I32, nullptr},
             {"app_version_release", 33, I32, nullptr},
             {"field_34", 34, STR, nullptr},
             {"config_version", 35, I64, nullptr},
             {"retry_count", 39, I32, nullptr},
             {"vuzir_app_id", 41, STR, nullptr},
             {"experiment_ids", 45, R_U32, nullptr},
             {"checksum", 47, I64, nullptr},
             {"field_50", 50, STR, nullptr},
             {"consent_signals", 52, STR, nullptr},
             {"apple_consent_status", 53, ENUM, nullptr},
             {"field_55", 55, BOOL, nullptr},
             {"field_63", 63, STR, nullptr},
             {"redacted_fields", 64, R_STR, nullptr},
             {"ephemeral_app_instance_id", 65, STR, nullptr})

NANO_MESSAGE(Event,
             {"params", 1, R_MSG, &kNANOEventParamSchema},
             {"name", 2, STR, nullptr},
             {"timestamp_millis", 3, I64, nullptr},
             {"previous_timestamp_millis", 4, I64, nullptr},
             {"field_5", 5, I32, nullptr})

NANO_MESSAGE(EventParam,
             {"name", 1, STR, nullptr},
             {"string_value", 2, STR, nullptr},
             {"int_value", 3, I64, nullptr},
             {"float_value", 4, F32, nullptr},
             {"double_value", 5, F64, nullptr},
             {"param_value", 6, R_MSG, &kNANOEventParamSchema})

NANO_MESSAGE(UserAttribute,
             {"set_timestamp_millis", 1, I64, nullptr},
             {"name", 2, STR, nullptr},
             {"string_value", 3, STR, nullptr},
             {"int_value", 4, I64, nullptr},
             {"float_value", 5, F32, nullptr},
             {"double_value", 6, F64, nullptr})

NANO_MESSAGE(AudienceLeafFilterResult,
             {"audience_id", 1, I32, nullptr},
             {"current_data", 2, MSG, &kNANOResultDataSchema},
             {"previous_data", 3, MSG, &kNANOResultDataSchema},
             {"new_audience", 4, BOOL, nullptr})

NANO_MESSAGE(ResultData,
             {"status", 1, R_U64, nullptr},
             {"results", 2, R_U64, nullptr},
             {"dynamic_filter_timestamps", 3, R_MSG, &kNANODynamicFilterResultTimestampSchema},
             {"sequence_filter_timestamps", 4, R_MSG, &kNANOSequenceFilterResultTimestampSchema})

NANO_MESSAGE(DynamicFilterResultTimestamp,
             {"filter_id", 1, I32, nullptr},
             {"eval_timestamp", 2, I64, nullptr})

NANO_MESSAGE(SequenceFilterResultTimestamp,
             {"filter_id", 1, I32, nullptr},
             {"timestamps", 2, R_I64, nullptr})

// Downloaded measurement configuration.
NANO_MESSAGE(MeasurementConfig,
             {"version", 1, I64, nullptr},
             {"app_id", 2, STR, nullptr},
             {"field_3", 3, I32, nullptr},
             {"settings", 4, R_MSG, &kNANOSettingSchema},
             {"event_config", 5, R_MSG, &kNANOEventConfigSchema},
             {"audiences", 6, R_MSG, &kNANOAudienceSchema},
             {"vuzir_app_id", 7, STR, nullptr},
             {"field_8", 8, BOOL, nullptr},
             {"dynamic_event_editing", 9, R_MSG, &kNANOProgramSchema},
             {"data_controls", 10, R_MSG, &kNANODataControlSchema},
             {"upload_subdomain", 11, STR, nullptr})

NANO_MESSAGE(Setting,
             {"name", 1, STR, nullptr},
             {"value", 2, STR, nullptr})

NANO_MESSAGE(EventConfig,
             {"name", 1, STR, nullptr},
             {"is_blocklisted", 2, BOOL, nullptr},
             {"is_custom_conversion", 3, BOOL, nullptr},
             {"sampling_rate", 4, I32, nullptr})

NANO_MESSAGE(DataControl,
             {"name", 1, STR, nullptr},
             {"opt_out_regions", 2, R_MSG, &kNANORegionSchema},
             {"field_3", 3, BOOL, nullptr})

NANO_MESSAGE(Region,
             {"field_1", 1, STR, nullptr},
             {"field_2", 2, STR, nullptr})

// Audience definitions.
NANO_MESSAGE(Audience,
             {"audience_id", 1, I32, nullptr},
             {"property_filters", 2, R_MSG, &kNANOPropertyFilterSchema},
             {"event_filters", 3, R_MSG, &kNANOEventFilterSchema},
             {"field_4", 4, BOOL, nullptr},
             {"field_5", 5, BOOL, nullptr})

NANO_MESSAGE(PropertyFilter,
             {"filter_id", 1, I32, nullptr},
             {"property_name", 2, STR, nullptr},
             {"filter", 3, MSG, &kNANOFilterSchema},
             {"dynamic", 4, BOOL, nullptr},
             {"sequence", 5, BOOL, nullptr},
             {"session_scoped", 6, BOOL, nullptr})

NANO_MESSAGE(EventFilter,
             {"filter_id", 1, I32, nullptr},
             {"event_name", 2, STR, nullptr},
             {"filters", 3, R_MSG, &kNANOFilterSchema},
             {"field_4", 4, BOOL, nullptr},
             {"event_count_filter", 5, MSG, &kNANONumberFilterSchema},
             {"dynamic", 6, BOOL, nullptr},
             {"sequence", 7, BOOL, nullptr},
             {"session_scoped", 8, BOOL, nullptr})

NANO_MESSAGE(Filter,
             {"string_filter", 1, MSG, &kNANOStringFilterSchema},
             {"number_filter", 2, MSG, &kNANONumberFilterSchema},
             {"complement", 3, BOOL, nullptr},
             {"param_name", 4, STR, nullptr})

NANO_MESSAGE(StringFilter,
             {"match_type", 1, ENUM, nullptr},
             {"expression", 2, STR, nullptr},
             {"case_sensitive", 3, BOOL, nullptr},
             {"expression_list", 4, R_STR, nullptr})

NANO_MESSAGE(NumberFilter,
             {"comparison_type", 1, ENUM, nullptr},
             {"match_as_float", 2, BOOL, nullptr},
             {"comparison_value", 3, STR, nullptr},
             {"min_comparison_value", 4, STR, nullptr},
             {"max_comparison_value", 5, STR, nullptr})

// Event-editing programs.
NANO_MESSAGE(Program,
             {"instructions", 1, R_MSG, &kNANORuntimeEntitySchema},
             {"activities", 2, MSG, &kNANOOgtActivitiesSchema})

NANO_MESSAGE(OgtActivities, {"activities", 1, R_MSG, &kNANOOgtActivitySchema})

NANO_MESSAGE(OgtActivity,
             {"name", 1, STR, nullptr},
             {"data", 2, R_MSG, &kNANORuntimeEntitySchema})

NANO_MESSAGE(RuntimeEntity,
             {"type", 1, ENUM, nullptr},
             {"value", 2, R_MSG, &kNANORuntimeEntitySchema},
             {"statement", 3, STR, nullptr},
             {"string_value", 4, STR, nullptr},
             {"bool_value", 5, BOOL, nullptr},
             {"number_value", 6, F64, nullptr})

// Experiments.
NANO_MESSAGE(ExperimentRequest,
             {"app_property", 1, MSG, &kNANOAppPropertySchema},
             {"client_properties", 2, R_MSG, &kNANOClientPropertySchema})

NANO_MESSAGE(AppProperty,
             {"platform", 1, STR, nullptr},
             {"field_2", 2, STR, nullptr},
             {"field_3", 3, STR, nullptr},
             {"language", 4, STR, nullptr},
             {"bundle_id", 5, STR, nullptr},
             {"from_app_store", 6, BOOL, nullptr},
             {"component_version", 7, I64, nullptr})

NANO_MESSAGE(ClientProperty,
             {"sdk_name", 1, STR, nullptr},
             {"diversion_key", 2, STR, nullptr},
             {"sdk_version", 3, I64, nullptr},
             {"app_id", 4, STR, nullptr},
             {"custom_properties", 5, R_MSG, &kNANOCustomPropertySchema})

NANO_MESSAGE(CustomProperty,
             {"name", 1, STR, nullptr},
             {"value", 2, STR, nullptr})

NANO_MESSAGE(ExperimentResponse,
             {"snapshots", 1, R_MSG, &kNANOSnapshotSchema},
             {"sdk_responses", 2, R_MSG, &kNANOSdkResponseSchema})

NANO_MESSAGE(SdkResponse,
             {"sdk_name", 1, STR, nullptr},
             {"status", 2, ENUM, nullptr},
             {"snapshot", 3, MSG, &kNANOSnapshotSchema})

NANO_MESSAGE(Snapshot,
             {"sdk_name", 1, STR, nullptr},
             {"experiments", 2, R_MSG, &kNANOExperimentSchema})

NANO_MESSAGE(Experiment,
             {"experiment_id", 1, I32, nullptr},
             {"flags", 2, R_MSG, &kNANOFlagSchema})

NANO_MESSAGE(Flag,
             {"name", 1, STR, nullptr},
             {"int_value", 2, I64, nullptr},
             {"string_value", 3, STR, nullptr},
             {"double_value", 4, F64, nullptr},
             {"bool_value", 5, BOOL, nullptr})

#undef NANO_MESSAGE

namespace {

constexpr const NANOMessageSchema* kAllSchemas[] = {
    &kNANOAppPropertySchema,        &kNANOAudienceSchema,
    &kNANOAudienceLeafFilterResultSchema, &kNANOClientPropertySchema,
    &kNANOCustomPropertySchema,     &kNANODataControlSchema,
    &kNANODynamicFilterResultTimestampSchema, &kNANOEventSchema,
    &kNANOEventConfigSchema,        &kNANOEventFilterSchema,
    &kNANOEventParamSchema,         &kNANOExperimentSchema,
    &kNANOExperimentRequestSchema,  &kNANOExperimentResponseSchema,
    &kNANOFilterSchema,             &kNANOFlagSchema,
    &kNANOMeasurementBatchSchema,   &kNANOMeasurementBundleSchema,
    &kNANOMeasurementConfigSchema,  &kNANONumberFilterSchema,
    &kNANOOgtActivitiesSchema,      &kNANOOgtActivitySchema,
    &kNANOProgramSchema,            &kNANOPropertyFilterSchema,
    &kNANORegionSchema,             &kNANOResultDataSchema,
    &kNANORuntimeEntitySchema,      &kNANOSdkResponseSchema,
    &kNANOSequenceFilterResultTimestampSchema, &kNANOSettingSchema,
    &kNANOSnapshotSchema,           &kNANOStringFilterSchema,
    &kNANOUserAttributeSchema,
};

}  // namespace

std::span<const NANOMessageSchema* const> NANOAllMessageSchemas() { return kAllSchemas; }

const NANOMessageSchema* NANOMessageSchemaNamed(std::string_view name) {
  auto it = std::find_if(std::begin(kAllSchemas), std::end(kAllSchemas),
                         [&](const NANOMessageSchema* schema) { return name == schema->name; });
  return it == std::end(kAllSchemas) ? nullptr : *it;
}

bool NANOMessageSchemaIsTwoPass(const NANOMessageSchema& schema) {
  if (schema.repeatedCount > 0) return true;
  for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
    if (schema.fields[i].child && NANOMessageSchemaIsTwoPass(*schema.fields[i].child)) return true;
  }
  return false;
}
