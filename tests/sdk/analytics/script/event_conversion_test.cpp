#include <gtest/gtest.h>

#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/script/apmp_event.h"

namespace {

TEST(APMEventEditingConversionTest, ParametersKeepNumbersTextsAndOneLevelOfItems) {
  APMDictionary item{{"id", APMValue::initWithString(std::string("sku"))},
                     {"deeper", APMValue::initWithArray(APMObject(APMArray{}))},
                     {"plain", APMObject("not a value")}};
  APMDictionary parameters{{"d", APMValue::initWithDouble(1.5)},
                           {"i", APMValue::initWithInt64(7)},
                           {"s", APMValue::initWithString(std::string("x"))},
                           {"items", APMValue::initWithArray(APMObject(APMArray{APMObject(item)}))},
                           {"raw", APMObject(3)}};
  const platform::Value::Dictionary converted = APMEditEventParameters(parameters, false);
  EXPECT_EQ(converted.at("d"), platform::Value(1.5));
  EXPECT_EQ(converted.at("i"), platform::Value(7LL));
  EXPECT_EQ(converted.at("s"), platform::Value("x"));
  EXPECT_EQ(converted.count("raw"), 0u);
  const auto& items = converted.at("items").arrayOrEmpty();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].dictionaryOrEmpty().size(), 1u);
  EXPECT_EQ(items[0]["id"], platform::Value("sku"));
}

TEST(APMEventEditingConversionTest, EventsRoundTripWithOriginFromTheParameters) {
  const auto event = APMEvent::initWithOrigin("clx", false, "my_event", 1000.5, 0,
                                              {{"n", APMValue::initWithInt64(3)}});
  ASSERT_TRUE(event);
  const auto edit = APMEventEditEvent(*event);
  EXPECT_EQ(edit->name(), "my_event");
  EXPECT_EQ(edit->parameterForName("_o"), platform::Value("clx"));
  edit->setParameter(platform::Value("v"), "added");
  const auto back = APMEventFromEditEvent(*edit);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "clx");
  EXPECT_EQ(back->timestamp(), 1000.5);
  EXPECT_EQ(back->parameters().count("added"), 1u);
  edit->setParameter(std::nullopt, "_o");
  EXPECT_EQ(APMEventFromEditEvent(*edit)->origin(), "app");
  edit->setName("");
  EXPECT_FALSE(APMEventFromEditEvent(*edit));
}

TEST(APMEventEditingConversionTest, EditedEventsCompareWithinTheDoubleEpsilon) {
  const auto a = APMPEvent::initWithName("e", 1.0, {{"k", platform::Value(1)}});
  auto b = a->copy();
  EXPECT_TRUE(a->isEqualToEvent(*b));
  b->setName("f");
  EXPECT_FALSE(a->isEqualToEvent(*b));
  b->setName("e");
  EXPECT_TRUE(a->isEqualToEvent(*b));
  b->setParameter(std::nullopt, "k");
  EXPECT_FALSE(a->isEqualToEvent(*b));
}

}  // namespace
