#include "sdk/analytics/events/apm_event.h"

#include <gtest/gtest.h>

#include "platform/foundation/format.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_parameter_sanitizer.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

APMObject str(const std::string& s) { return APMObject(APMValue::initWithString(s)); }

std::int64_t errorCode(const APMDictionary& p) {
  const auto it = p.find("_err");
  return it == p.end() ? 0 : (*it->second.apmValue())->int64Value();
}
std::string errorValue(const APMDictionary& p) {
  const auto it = p.find("_ev");
  return it == p.end() ? "" : *(*it->second.apmValue())->stringValue();
}

class APMSanitizerTest : public ::testing::Test {
 protected:
  MonitorRecorder recorder_;
};

TEST_F(APMSanitizerTest, CustomParametersAreTrimmedToTheLimitKeepingTheSmallestNames) {
  APMDictionary input{{"_internal", 1}};
  for (int i = 0; i < 30; ++i) input[platform::format("p%02d", i)] = APMObject(i);
  const auto out = *APMSanitizeEventParameters(input, "shop", true, false);
  // "_internal" fails the public name rule and is the first error; trimming adds nothing then.
  EXPECT_EQ(APMCountCustomParameters(out, false), 25u);
  EXPECT_TRUE(out.contains("p24"));
  EXPECT_FALSE(out.contains("p25"));
  EXPECT_EQ(errorCode(out), 3);
  EXPECT_TRUE(recorder_.has(18017));

  APMDictionary internal{{"_kept", 1}};
  for (int i = 0; i < 30; ++i) internal[platform::format("p%02d", i)] = APMObject(i);
  const auto trimmed = *APMSanitizeEventParameters(internal, "_shop", false, false);
  EXPECT_TRUE(trimmed.contains("_kept"));
  EXPECT_EQ(errorCode(trimmed), 5);
}

TEST_F(APMSanitizerTest, FirstErrorWinsAndLongValuesAreReported) {
  const auto out = *APMSanitizeEventParameters(
      {{"ok", "v"}, {"long", std::string(101, 'x')}, {"ga_bad", 1}, {"zz-bad", 2}}, "shop", true, false);
  EXPECT_FALSE(out.contains("long"));
  EXPECT_TRUE(out.contains("ok"));
  // Enumeration is by name: "ga_bad" (reserved prefix) comes first.
  EXPECT_EQ(errorCode(out), 14);
  EXPECT_EQ(errorValue(out), "ga_bad");

  const auto value = *APMSanitizeEventParameters({{"long", std::string(101, 'x')}, {"a", 1}}, "shop", true, false);
  EXPECT_EQ(errorCode(value), 4);
  EXPECT_EQ(errorValue(value), "long");
  EXPECT_EQ((*value.at("_el").apmValue())->int64Value(), 101);
}

TEST_F(APMSanitizerTest, ItemsArraysFollowTheEcommerceRules) {
  platform::Value::Array items;
  for (int i = 0; i < 250; ++i) items.push_back(platform::Value::dictionary({{"item_id", "x"}}));
  const auto purchase = *APMSanitizeEventParameters({{"items", platform::Value(items)}}, "purchase", true, false);
  EXPECT_EQ((*purchase.at("items").apmValue())->arrayValue()->size(), 200u);
  EXPECT_EQ(errorCode(purchase), 17);

  const auto wrongEvent =
      *APMSanitizeEventParameters({{"items", platform::Value(items)}, {"a", 1}}, "shop", true, false);
  EXPECT_FALSE(wrongEvent.contains("items"));
  EXPECT_EQ(errorCode(wrongEvent), 21);
  EXPECT_EQ(errorValue(wrongEvent), "shop");

  const auto wrongName = *APMSanitizeEventParameters({{"things", platform::Value(items)}, {"a", 1}}, "purchase", true, false);
  EXPECT_EQ(errorCode(wrongName), 20);

  const platform::Value mixed = platform::Value::array({platform::Value::dictionary({{"item_id", "1"}, {"custom", 2}}),
                                                        platform::Value::dictionary({{"price", 1.5}}),
                                                        platform::Value::dictionary({{"item_name", "n"}}), "string"});
  const auto withMixed = *APMSanitizeEventParameters({{"items", mixed}}, "purchase", true, false);
  const APMArray& kept = *(*withMixed.at("items").apmValue())->arrayValue();
  ASSERT_EQ(kept.size(), 3u);
  const APMDictionary first = kept[0].dictionaryEntries();
  EXPECT_FALSE(first.contains("custom"));
  EXPECT_EQ(errorCode(first), 23);
  EXPECT_EQ(errorValue(withMixed), "items[3]");
}

TEST_F(APMSanitizerTest, ValueAndCurrency) {
  APMDictionary ok{{"value", APMObject(APMValue::initWithDouble(9.99))}, {"currency", str("usd")}};
  EXPECT_TRUE(APMValidateValueAndCurrency(ok));
  APMDictionary twoLetters{{"value", APMObject(APMValue::initWithDouble(9.99))}, {"currency", str("US")}};
  EXPECT_FALSE(APMValidateValueAndCurrency(twoLetters));
  EXPECT_FALSE(twoLetters.contains("value"));
  EXPECT_EQ(errorCode(twoLetters), 19);
  APMDictionary text{{"value", str("9")}};
  EXPECT_FALSE(APMValidateValueAndCurrency(text));
  EXPECT_EQ(errorCode(text), 18);
}

TEST_F(APMSanitizerTest, ErrorValuesAreCutToTheirMaximum) {
  APMDictionary p;
  APMAddErrorValueParameters(p, std::string(300, 'v'), 256, {});
  EXPECT_EQ(errorValue(p), std::string(256, 'v') + "...");
  const auto ev = *APMSanitizeEventParameters({{"_ev", std::string(300, 'e')}}, "_x", false, false);
  EXPECT_EQ(errorValue(ev), std::string(256, 'e') + "...");
  EXPECT_EQ((*ev.at("_el").apmValue())->int64Value(), 300);
}

TEST(APMEventTest, ConstructionValidatesOriginAndName) {
  MonitorRecorder recorder;
  struct Case {
    std::string origin;
    bool isPublic;
    std::string name;
    bool built;
  };
  const Case cases[] = {{"app", true, "screen_view", true}, {"app+vtm", true, "shop", true},
                        {"+vtm", false, "shop", false},     {std::string(33, 'o'), false, "shop", false},
                        {"", false, "shop", false},         {"app", true, "first_open", false},
                        {"app", false, "first_open", true}, {"a-b", false, "shop", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.origin + " " + c.name);
    EXPECT_EQ(APMEvent::initWithOrigin(c.origin, c.isPublic, c.name, 10, 0, {}) != nullptr, c.built);
  }
  const auto event = APMEvent::initWithOrigin("app", true, "shop", 10, 0, {{"_o", "fake"}});
  EXPECT_EQ(*(*event->parameters().at("_o").apmValue())->stringValue(), "app");
}

TEST(APMEventTest, ConversionAndFlags) {
  MonitorRecorder recorder;
  auto impression = APMEvent::initWithOrigin("app", false, "ad_impression", 1, 0, {{"value", 5}, {"_c", 1}});
  EXPECT_FALSE(impression->parameters().contains("value"));
  EXPECT_FALSE(impression->isConversion());
  EXPECT_EQ(errorCode(impression->parameters()), 19);
  EXPECT_EQ(errorValue(impression->parameters()), "currency");

  auto event = APMEvent::initWithOrigin("app", false, "_x", 1, 0, {});
  event->setConversion(false);
  EXPECT_FALSE(event->parameters().contains("_err"));
  event->setConversion(true);
  EXPECT_TRUE(event->isConversion());
  event->setConversion(false);
  EXPECT_EQ(errorCode(event->parameters()), 10);
  event->setConversion(true);
  EXPECT_FALSE(event->parameters().contains("_err"));
  event->setRealtime(true);
  event->setDebug(true);
  EXPECT_TRUE(event->isRealtime() && event->isDebug());
  event->applyParameters({{"a", 1}});
  auto withA = APMEvent::initWithOrigin("app", false, "_x", 1, 0, {{"a", 2}});
  withA->applyParameters({{"a", 1}, {"b", 3}});
  EXPECT_EQ((*withA->parameters().at("a").apmValue())->int64Value(), 2);
  EXPECT_TRUE(withA->parameters().contains("b"));
}

TEST(APMEventTest, ScreenParameters) {
  MonitorRecorder recorder;
  auto event = APMEvent::initWithOrigin("auto", false, "_vs", 1, 0, {});
  EXPECT_FALSE(event->addScreenParameters({{"_sn", std::string(101, 'n')}, {"_si", 5}}));
  EXPECT_TRUE(recorder.has(16004));
  EXPECT_TRUE(event->addScreenParameters({{"_sn", "Main"}, {"_sc", str("VC")}, {"_si", 5}}));
  EXPECT_EQ((*event->parameters().at("_si").apmValue())->int64Value(), 5);
  EXPECT_FALSE(event->addScreenParameters({{"_si", 6}}));
}

TEST(APMEventTest, WireFormRoundTrip) {
  MonitorRecorder recorder;
  const platform::Value items = platform::Value::array({platform::Value::dictionary({{"item_id", "A"}, {"price", 2.5}})});
  auto event = APMEvent::initWithOrigin("app", true, "purchase", 1.9999, 0,
                                        {{"s", "text"}, {"n", 7}, {"d", 1.25}, {"items", items}});
  const auto proto = event->protoEvent();
  EXPECT_EQ(NANOGetInt64(proto.get(), 2), 1999);
  EXPECT_FALSE(NANOHasField(proto.get(), 3));
  const auto bytes = proto->protoBuffer();
  ASSERT_TRUE(bytes);
  const auto decoded = APMPBEvent::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded);
  const auto back = APMEvent::initWithEventProto(*decoded);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->name(), "purchase");
  EXPECT_DOUBLE_EQ(back->timestamp(), 1.999);
  EXPECT_EQ(*(*back->parameters().at("s").apmValue())->stringValue(), "text");
  EXPECT_EQ((*back->parameters().at("n").apmValue())->int64Value(), 7);
  EXPECT_EQ((*back->parameters().at("d").apmValue())->doubleValue(), 1.25);
  // Arrays do not come back from the wire form.
  EXPECT_FALSE(back->parameters().contains("items"));
  EXPECT_TRUE(recorder.has(15002));

  auto withoutOrigin = APMPBEvent::initWithMessageInfo();
  NANOSetString(withoutOrigin.get(), 1, "x");
  EXPECT_EQ(APMEvent::initWithEventProto(*withoutOrigin), nullptr);
}

TEST(APMEventTest, CopiesAreIndependentAndRevalidated) {
  MonitorRecorder recorder;
  auto event = APMEvent::initWithOrigin("app", false, "_x", 5, 0, {{"a", 1}});
  auto copy = event->copy();
  copy->setRealtime(true);
  EXPECT_FALSE(event->parameters().contains("_r"));
  EXPECT_EQ(event->copyWithPreviousTimestamp(3)->previousTimestamp(), 3);
  EXPECT_EQ(event->copyWithParameters({{"b", 2}})->parameters().count("a"), 0u);
  event->copyWithPreviousTimestamp(9);
  EXPECT_TRUE(recorder.has(16002));
}

TEST(APMEventTest, SubscriptionErrorAndArrayItemPredicates) {
  MonitorRecorder recorder;
  auto make = [](const std::string& name, const APMDictionary& parameters) {
    return APMEvent::initWithOrigin("app", false, name, 1, 0, parameters);
  };
  const APMObject one = APMObject(APMValue::initWithInt64(1));
  const struct {
    const char* name;
    APMDictionary parameters;
    bool subscription;
  } cases[] = {
      {"_assc", {}, true},
      {"_assr", {}, true},
      {"_iap", {{"subscription", one}}, true},
      {"_iap", {{"subscription", APMObject(APMValue::initWithInt64(2))}}, false},
      {"_iap", {{"subscription", APMObject(APMValue::initWithDouble(1))}}, false},
      {"_iap", {}, false},
      {"_asse", {{"subscription", one}}, false},
  };
  for (const auto& c : cases) {
    const auto event = make(c.name, c.parameters);
    ASSERT_TRUE(event) << c.name;
    EXPECT_EQ(APMIsSubscriptionEvent(*event), c.subscription) << c.name;
  }

  EXPECT_TRUE(APMIsErrorEvent(*make("_err", {})));
  EXPECT_FALSE(APMIsErrorEvent(*make("_e", {})));

  const platform::Value items = platform::Value::array(
      {platform::Value::dictionary({{"item_id", "a"}}), platform::Value::dictionary({{"item_id", "b"}})});
  const auto purchase = make("purchase", {{"items", APMObject(items)}, {"value", APMObject(3)}});
  ASSERT_TRUE(purchase);
  EXPECT_EQ(APMArrayParameterItemCount(*purchase), 2u);
  EXPECT_EQ(APMArrayParameterItemCount(*make("purchase", {{"value", APMObject(3)}})), 0u);
}

}  // namespace

