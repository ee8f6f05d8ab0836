#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sdk/analytics/messages/message_schemas.h"

namespace {

// The message table of the wrappers: name, field count and decoding passes.
const struct {
  const char* name;
  std::uint32_t fields;
  int passes;
} kMessages[] = {
    {"AppProperty", 7, 1},  {"Audience", 5, 2},       {"AudienceLeafFilterResult", 4, 2},
    {"ClientProperty", 5, 2}, {"CustomProperty", 2, 1}, {"DataControl", 3, 2},
    {"DynamicFilterResultTimestamp", 2, 1}, {"Event", 5, 2}, {"EventConfig", 4, 1},
    {"EventFilter", 8, 2},  {"EventParam", 6, 2},     {"Experiment", 2, 2},
    {"ExperimentRequest", 2, 2}, {"ExperimentResponse", 2, 2}, {"Filter", 4, 2},
    {"Flag", 5, 1},         {"MeasurementBatch", 1, 2}, {"MeasurementBundle", 46, 2},
    {"MeasurementConfig", 11, 2}, {"NumberFilter", 5, 1}, {"OgtActivities", 1, 2},
    {"OgtActivity", 2, 2},  {"Program", 2, 2},        {"PropertyFilter", 6, 2},
    {"Region", 2, 1},       {"ResultData", 4, 2},     {"RuntimeEntity", 6, 2},
    {"SdkResponse", 3, 2},  {"SequenceFilterResultTimestamp", 2, 2}, {"Setting", 2, 1},
    {"Snapshot", 2, 2},     {"StringFilter", 4, 2},   {"UserAttribute", 6, 1},
};

TEST(MessageSchemas, TheFieldTablesAgreeWithTheRecordLayout) {
  ASSERT_EQ(NANOAllMessageSchemas().size(), std::size(kMessages));
  const std::set<std::int32_t> usedCodes{0x22, 0x42, 0x82, 0x202, 0x802, 0x1002, 0x2002, 0x4002,
                                         0x108, 0x208, 0x408, 0x2008, 0x4008};
  for (const auto& expected : kMessages) {
    const NANOMessageSchema* schema = NANOMessageSchemaNamed(expected.name);
    ASSERT_TRUE(schema) << expected.name;
    EXPECT_EQ(schema->fieldCount, expected.fields) << expected.name;
    EXPECT_EQ(NANOMessageSchemaIsTwoPass(*schema) ? 2 : 1, expected.passes) << expected.name;
    std::set<std::uint32_t> tags;
    std::uint32_t repeated = 0;
    for (std::uint32_t i = 0; i < schema->fieldCount; ++i) {
      const NANOFieldSchema& field = schema->fields[i];
      EXPECT_EQ(schema->typeCodes[i], field.typeCode) << expected.name << "." << field.name;
      EXPECT_TRUE(usedCodes.count(field.typeCode)) << expected.name << "." << field.name;
      EXPECT_EQ(field.child != nullptr, (field.typeCode & kNANOMessage) != 0) << expected.name << "." << field.name;
      EXPECT_TRUE(tags.insert(field.tag).second) << expected.name << "." << field.name;
      EXPECT_EQ(schema->indexOfTag(field.tag), static_cast<int>(i));
      if (field.typeCode & kNANORepeated) ++repeated;
      // Index order is tag order everywhere but in the bundle.
      if (std::string(expected.name) != "MeasurementBundle") {
        EXPECT_EQ(field.tag, i + 1) << expected.name;
      }
    }
    EXPECT_EQ(schema->repeatedCount, repeated);
    for (std::uint32_t n = 1; n < schema->fieldCount; ++n) {
      EXPECT_LT(schema->fields[schema->tagOrder[n - 1]].tag, schema->fields[schema->tagOrder[n]].tag);
    }
  }
}

TEST(MessageSchemas, BundleIndexesFollowTheirOwnOrder) {
  std::vector<std::uint32_t> tags{1, 2, 3, 4, 5, 6, 26};
  for (std::uint32_t tag = 7; tag <= 19; ++tag) tags.push_back(tag);
  tags.push_back(27);
  for (std::uint32_t tag = 20; tag <= 25; ++tag) tags.push_back(tag);
  for (std::uint32_t tag : {28, 29, 30, 31, 32, 33, 34, 35, 39, 41, 45, 47, 50, 52, 53, 55, 63, 64, 65}) {
    tags.push_back(tag);
  }
  ASSERT_EQ(tags.size(), kNANOMeasurementBundleSchema.fieldCount);
  for (std::uint32_t i = 0; i < tags.size(); ++i) EXPECT_EQ(kNANOMeasurementBundleSchema.fields[i].tag, tags[i]) << i;
}

}  // namespace
