#include <cmath>
#include <limits>

#include "tests/sdk/analytics/script/script_fixture.h"

namespace {

double number(const char* text) { return APMPTextToNumber(APMPText(text)); }

TEST(APMPConversionsTest, NumbersPrintAsESDoes) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{-0.0, "0"}, {1e21, "1e+21"}, {1e-7, "1e-7"}, {0.000001, "0.000001"}, {1234567, "1234567"},
               {0.1 + 0.2, "0.30000000000000004"}, {NAN, "NaN"}, {INFINITY, "Infinity"}, {-INFINITY, "-Infinity"},
               {-1.5e300, "-1.5e+300"}, {123456789012345680000.0, "123456789012345680000"}, {-0.5, "-0.5"}};
  for (const auto& c : cases) EXPECT_EQ(APMPUTF8(APMPNumberToText(c.value)), c.text) << c.text;
}

TEST(APMPConversionsTest, TextsReadAsNumbersWithoutHexOrTrailingCharacters) {
  EXPECT_EQ(number(" 12 "), 12);
  EXPECT_EQ(number(""), 0);
  EXPECT_EQ(number(" \n\t"), 0);
  for (const char* bad : {"12px", "0x1A", "1,000", "+Infinity", "infinity", "1e", "e5", ".", "-", "inf", "nan"}) {
    EXPECT_TRUE(std::isnan(number(bad))) << bad;
  }
  EXPECT_EQ(number("Infinity"), INFINITY);
  EXPECT_EQ(number("-Infinity"), -INFINITY);
  EXPECT_EQ(number("1e400"), INFINITY);
  EXPECT_EQ(number("-1e400"), -INFINITY);
  EXPECT_EQ(number("1e-400"), 0);
  EXPECT_EQ(number("-2.5E2"), -250);
}

TEST(APMPConversionsTest, IntegerConversionsSaturateOutsideTheSigned32BitRange) {
  const struct {
    double in;
    std::int32_t int32;
    std::uint32_t uint32;
  } cases[] = {{2147483648.0, 2147483647, 2147483647u}, {-1, -1, 4294967295u}, {4294967297.0, 1, 1},
               {1.9, 1, 1}, {-1.9, -1, 4294967295u}, {NAN, 0, 0}, {INFINITY, 0, 0},
               {3000000000.0, 2147483647, 2147483647u}, {-3000000000.0, -2147483647 - 1, 2147483648u},
               {-4294967296.0, 0, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(APMPToInt32(c.in), c.int32) << c.in;
    EXPECT_EQ(APMPToUint32(c.in), c.uint32) << c.in;
  }
  EXPECT_TRUE(std::signbit(APMPToInteger(-0.5)));
  EXPECT_EQ(APMPToInteger(NAN), 0);
}

TEST(APMPConversionsTest, ArrayIndicesGoThroughNumericConversion) {
  for (const char* text : {"", " 2 ", "2.0", "2e0", "01"}) EXPECT_TRUE(APMPIsArrayIndex(*APMPStringValue::make(APMPText(text)))) << text;
  for (double d : {-1.0, 1.5, double(NAN), double(INFINITY)}) EXPECT_FALSE(APMPIsArrayIndex(*APMPNumberValue::make(d)));
  EXPECT_TRUE(APMPIsArrayIndex(*APMPNumberValue::make(-0.0)));
  EXPECT_FALSE(APMPIsArrayIndex(*APMPBooleanValue::booleanValueWithBool(true)));
}

TEST(APMPConversionsTest, StrictAndStructuralEqualityDifferOnNaNAndContainers) {
  const auto nan = APMPNumberValue::make(NAN);
  EXPECT_FALSE(APMPStrictEquals(*nan, *APMPNumberValue::make(NAN), nullptr));
  EXPECT_TRUE(nan->isEqualToRuntimeValue(*APMPNumberValue::make(NAN)));
  EXPECT_TRUE(APMPNumberValue::make(0)->isEqualToRuntimeValue(*APMPNumberValue::make(-0.0)));
  EXPECT_FALSE(APMPStrictEquals(*APMPArrayValue::make(), *APMPArrayValue::make(), nullptr));
  EXPECT_TRUE(APMPArrayValue::make()->isEqualToRuntimeValue(*APMPArrayValue::make()));
  EXPECT_FALSE(APMPStrictEquals(*APMPNumberValue::make(1), *APMPStringValue::make(u"1"), nullptr));
  EXPECT_TRUE(APMPStrictEquals(*APMPUndefinedValue::sharedInstance(), *APMPUndefinedValue::sharedInstance(), nullptr));
  EXPECT_EQ(APMPControlValue::continueValue(), APMPControlValue::continueValue());
  const auto a = APMPControlValue::returnValueWithData(APMPNumberValue::make(1));
  const auto b = APMPControlValue::returnValueWithData(APMPNumberValue::make(1));
  EXPECT_NE(a, b);
  EXPECT_TRUE(a->isEqualToRuntimeValue(*b));
  EXPECT_TRUE(APMPControlValue::returnValueWithData(nullptr)->data()->isUndefined());
}

TEST(APMPConversionsTest, MethodsOnPrimitives) {
  platform::Error error;
  APMPUndefinedValue::sharedInstance()->applyWithName(u"toString", {}, nullptr, &error);
  EXPECT_EQ(error.code(), kAPMPErrorMethodOfNothing);
  error = platform::Error();
  EXPECT_EQ(tagged(APMPNumberValue::make(2.5)->applyWithName(u"toString", {}, nullptr, &error)), "string:2.5");
  APMPNumberValue::make(2)->applyWithName(u"toFixed", {}, nullptr, &error);
  EXPECT_EQ(error.code(), kAPMPErrorUnknownMethod);
}

class APMPScopeTest : public ScriptTest {};

TEST_F(APMPScopeTest, NamesResolveUpTheChainAndAssignmentsLandWhereDeclared) {
  const auto child = global->createChildScope();
  const auto grandchild = child->createChildScope();
  const auto sibling = global->createChildScope();
  EXPECT_TRUE(grandchild->valueForName(u"nowhere")->isUndefined());
  global->addValue(APMPNumberValue::make(1), u"x");
  grandchild->setValue(APMPNumberValue::make(2), u"x");
  EXPECT_EQ(tagged(global->valueForName(u"x")), "number:2");
  EXPECT_FALSE(grandchild->names().hasName(u"x"));
  child->setValue(APMPNumberValue::make(3), u"fresh");
  EXPECT_TRUE(child->hasName(u"fresh"));
  EXPECT_FALSE(sibling->hasName(u"fresh"));
  child->addValue(APMPNumberValue::make(9), u"x");
  EXPECT_EQ(tagged(global->valueForName(u"x")), "number:2");
  global->addImmutableValue(APMPNumberValue::make(5), u"k");
  global->setValue(APMPNumberValue::make(6), u"k");
  global->addImmutableValue(APMPNumberValue::make(7), u"k");
  EXPECT_EQ(tagged(global->valueForName(u"k")), "number:5");
}

TEST_F(APMPScopeTest, StatementsCompareByNameAndArguments) {
  const auto a = APMPStatementValue::initWithFunctionName(u"0", {APMPNumberValue::make(1), APMPStringValue::make(u"x")});
  const auto b = APMPStatementValue::initWithFunctionName(u"0", {APMPNumberValue::make(1), APMPStringValue::make(u"x")});
  const auto c = APMPStatementValue::initWithFunctionName(u"0", {APMPNumberValue::make(1)});
  EXPECT_TRUE(a->isEqualToRuntimeValue(*b));
  EXPECT_FALSE(a->isEqualToRuntimeValue(*c));
}

class APMPContainerTest : public ScriptTest {};

TEST_F(APMPContainerTest, SparseArraysKeepHolesApartFromUndefined) {
  EXPECT_EQ(run(R"([["41","a"],["3","a",["7"]],["43",["15","a"],5,"x"],["36",["15","a"]]])"),
            "array:[hole,hole,hole,hole,hole,string:x]");
  const auto array = APMPArrayValue::make({APMPStringValue::make(u"a"), APMPStringValue::make(u"b"), APMPStringValue::make(u"c")});
  array->removeValueForProperty(*APMPNumberValue::make(1), &error);
  EXPECT_EQ(array->count(), 3u);
  EXPECT_FALSE(array->hasProperty(*APMPNumberValue::make(1), &error));
  EXPECT_EQ(APMPUTF8(array->stringValueOrError(&error)), "a,,c");
  const auto mixed = APMPArrayValue::make({APMPUndefinedValue::sharedInstance(), APMPNullValue::sharedInstance(), APMPNumberValue::make(1)});
  EXPECT_EQ(APMPUTF8(mixed->stringValueOrError(&error)), ",,1");
  array->setValue(APMPNumberValue::make(1), *APMPStringValue::make(u"length"), &error);
  EXPECT_FALSE(error);
  EXPECT_EQ(array->count(), 1u);
  for (const auto& bad : {APMPNumberValue::make(-1), APMPNumberValue::make(1.5), APMPStringValue::make(u"x")}) {
    platform::Error lengthError;
    array->setValue(bad, *APMPStringValue::make(u"length"), &lengthError);
    EXPECT_EQ(lengthError.code(), kAPMPErrorInvalidLength);
  }
  array->setValue(APMPNumberValue::make(7), *APMPNumberValue::make(1.5), &error);
  EXPECT_EQ(array->count(), 1u);
  EXPECT_EQ(tagged(array->allPropertyNames().front()), "string:1.5");
}

TEST_F(APMPContainerTest, SortPutsUndefinedAndHolesLastAndComparesTexts) {
  auto array = APMPArrayValue::make({APMPUndefinedValue::sharedInstance(), APMPArrayValue::emptyValue(),
                                     APMPNumberValue::make(3), APMPNumberValue::make(1)});
  array->sortUsingFunctionValue(nullptr, global, &error);
  EXPECT_EQ(tagged(array), "array:[number:1,number:3,undefined,hole]");
  array = APMPArrayValue::make({APMPNumberValue::make(10), APMPNumberValue::make(9), APMPNumberValue::make(1)});
  array->sortUsingFunctionValue(nullptr, global, &error);
  EXPECT_EQ(tagged(array), "array:[number:1,number:10,number:9]");
}

TEST_F(APMPContainerTest, MapsCompareByContentInAnyOrderAndKeepInsertionOrder) {
  const auto a = APMPMapValue::make();
  const auto b = APMPMapValue::make();
  a->setValue(APMPNumberValue::make(1), u"z");
  a->setValue(APMPNumberValue::make(2), u"a");
  b->setValue(APMPNumberValue::make(2), u"a");
  b->setValue(APMPNumberValue::make(1), u"z");
  EXPECT_TRUE(a->isEqualToRuntimeValue(*b));
  EXPECT_EQ(tagged(a), "object:{z=number:1,a=number:2}");
}

TEST_F(APMPContainerTest, SelfHoldingContainersJoinCompareAndCollectWithoutRecursingForever) {
  EXPECT_EQ(run(R"([["41","a"],["3","a",["7",1]],["43",["15","a"],1,["15","a"]],["36",["0",["15","a"],""]]])"), "string:1,");
  const auto a = APMPArrayValue::make();
  const auto b = APMPArrayValue::make();
  a->appendElements({a}, &error);
  b->appendElements({b}, &error);
  EXPECT_FALSE(APMPStructurallyEqual(*a, *b));
  a->breakCycles();
  b->breakCycles();
}

// Each wraps the value built so far in one more level, as a program can.
using Wrap = APMPValuePtr (*)(APMPValuePtr inner);

APMPValuePtr inArray(APMPValuePtr inner) { return APMPArrayValue::make({std::move(inner)}); }

APMPValuePtr inMap(APMPValuePtr inner) {
  auto map = APMPMapValue::make();
  map->setValue(std::move(inner), u"n");
  return map;
}

// function () { return f; } for the closure f before: each closure holds the scope it was made
// in, which holds the closure before.
APMPValuePtr inClosure(APMPValuePtr inner) {
  const APMPScopePtr scope = APMPScope::initWithParentScope(nullptr);
  scope->addValue(std::move(inner), u"f");
  return APMPFunctionValue::initWithFunctionName(u"", {}, {}, scope);
}

APMPValuePtr inReturn(APMPValuePtr inner) { return APMPControlValue::returnValueWithData(std::move(inner)); }

TEST(APMPReleaseTest, AMillionLevelsOfNestingAreReleasedWithoutRecursion) {
  const struct {
    const char* name;
    Wrap wrap;
  } cases[] = {{"arrays", inArray}, {"maps", inMap}, {"closures", inClosure}, {"return values", inReturn}};
  for (const auto& c : cases) {
    APMPValuePtr chain = APMPMapValue::make();
    const std::weak_ptr<APMPRuntimeValue> innermost = chain;
    for (int i = 0; i < 1'000'000; ++i) chain = c.wrap(std::move(chain));
    chain.reset();
    EXPECT_TRUE(innermost.expired()) << c.name;
  }
}

}  // namespace
