// Programs loaded from wire messages and run over events: the committed programs of
// tools/interpreter-tables/editing_programs.js, written as readable JS there.
#include <gtest/gtest.h>

#include <limits>

#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/script/apmp_event_editing.h"
#include "sdk/analytics/script/apmp_runtime_entity_converter.h"
#include "tests/sdk/analytics/script/program_fixture.h"
#include "tests/sdk/analytics/script/script_fixture.h"

namespace {

using Dictionary = platform::Value::Dictionary;

std::shared_ptr<APMPEventEditing> loaded(const std::string& name, const APMPEventEditingEnvironment& environment = {}) {
  auto editing = std::make_shared<APMPEventEditing>();
  editing->registerEnvironmentModules(environment);
  platform::Error error;
  EXPECT_TRUE(editing->loadProgram(*editingProgramNamed(name), &error)) << name << ": " << error.description();
  return editing;
}

platform::Error loadError(const std::string& name) {
  APMPEventEditing editing;
  platform::Error error;
  EXPECT_FALSE(editing.loadProgram(*editingProgramNamed(name), &error));
  return error;
}

TEST(APMPEventEditingTest, FixtureProgramRenamesEditsDropsAndCreatesEvents) {
  const auto editing = loaded("fixture");
  struct Case {
    APMPEvent input;
    APMPEvent output;
    std::vector<APMPEvent> created;
  };
  const platform::Value items(platform::Value::Array{platform::Value(Dictionary{{"id", platform::Value("s1")}})});
  const std::vector<Case> cases = {
      // Renamed; price added in cents; tags tidied; "debug" removed; the last callback undone.
      {APMPEvent("old_name", 100,
                 {{"price", platform::Value(2.5)}, {"tags", platform::Value(" A,,b ,C")},
                  {"debug", platform::Value("x")}, {"keep", platform::Value(1)}}),
       APMPEvent("new_name", 100,
                 {{"price", platform::Value(2.5)}, {"tags", platform::Value("a|b|c")}, {"keep", platform::Value(1)},
                  {"handled", platform::Value(1.0)}, {"price_cents", platform::Value(250.0)}}),
       {}},
      // A purchase is copied into a created event; global state carries over between events.
      {APMPEvent("purchase_shoes", 200.25, {{"items", items}, {"debug", platform::Value("y")}}),
       APMPEvent("purchase_shoes", 200.25, {{"items", items}, {"handled", platform::Value(2.0)}}),
       {APMPEvent("copy__shoes", 201,
                  {{"source", platform::Value("purchase_shoes")}, {"handled", platform::Value(2.0)},
                   {"items", items}, {"_o", platform::Value("auto")}})}},
      // Dropped: the empty name the engine refuses.
      {APMPEvent("debug_42", 300, {}), APMPEvent("", 300, {{"handled", platform::Value(3.0)}}), {}},
  };
  for (const Case& c : cases) {
    const APMPEventEditResult result = editing->editEvent(c.input);
    ASSERT_FALSE(result.error) << c.input.name() << ": " << result.error.description();
    ASSERT_TRUE(result.outputEvent) << c.input.name();
    EXPECT_TRUE(result.outputEvent->isEqualToEvent(c.output))
        << c.input.name() << " gave " << result.outputEvent->name() << " "
        << platform::Value(result.outputEvent->parameters()).description();
    ASSERT_EQ(result.eventsToLog.size(), c.created.size()) << c.input.name();
    for (std::size_t i = 0; i < c.created.size(); ++i) {
      EXPECT_TRUE(result.eventsToLog[i]->isEqualToEvent(c.created[i]))
          << result.eventsToLog[i]->name() << " " << platform::Value(result.eventsToLog[i]->parameters()).description();
    }
  }
  const auto created = editing->editEvent(cases[1].input).eventsToLog;
  ASSERT_EQ(created.size(), 1u);
  const auto engineEvent = APMEventFromEditEvent(*created[0]);
  ASSERT_TRUE(engineEvent);
  EXPECT_EQ(engineEvent->origin(), "auto");
  EXPECT_FALSE(APMEventFromEditEvent(*editing->editEvent(cases[2].input).outputEvent));
}

TEST(APMPEventEditingTest, LoadFailuresReportTheirCodes) {
  struct Case {
    const char* program;
    std::string_view domain;
    std::int64_t code;
  };
  for (const Case& c : std::vector<Case>{
           {"returnAtTop", kAPMPEditingErrorDomain, kAPMPEditingErrorControlAtTopLevel},
           {"ruleNotMap", kAPMPEditingErrorDomain, kAPMPEditingErrorRuleNotMap},
           {"activityNotFunction", kAPMPEditingErrorDomain, kAPMPEditingErrorActivityNotFunction},
           {"tooManyCallbacks", kAPMPEditingErrorDomain, kAPMPEditingErrorTooManyCallbacks},
       }) {
    const platform::Error error = loadError(c.program);
    EXPECT_EQ(error.domain(), c.domain) << c.program;
    EXPECT_EQ(error.code(), c.code) << c.program;
  }
}

TEST(APMPEventEditingTest, HostileCallbacksStopAtTheirLimitsAndTheirEditsAreUndone) {
  for (const char* name : {"hostileRegex", "endlessLoop"}) {
    const auto editing = loaded(name);
    const APMPEvent event("e", 1, {{"p", platform::Value("v")}});
    platform::Error error;
    EXPECT_FALSE(editing->handleEvent(event, &error)) << name;
    EXPECT_EQ(error.domain(), kAPMPErrorDomain) << name;
    EXPECT_EQ(error.code(), kAPMPErrorLimitReached) << name;
    const APMPEvent& output = *editing->eventContext().outputEvent();
    EXPECT_EQ(output.name(), "e") << name;
    EXPECT_FALSE(output.hasParameterName("x")) << name;
    // The endless loop's earlier callback keeps its edit.
    EXPECT_EQ(output.hasParameterName("first"), std::string(name) == "endlessLoop");
    // The budget is per event: the next event runs again from zero.
    platform::Error again;
    editing->handleEvent(event, &again);
    EXPECT_EQ(again.code(), kAPMPErrorLimitReached) << name;
  }
}

TEST(APMPEventEditingTest, WhatAProgramKeepsBetweenEventsIsBoundedAndStartsAfreshPastTheAllowance) {
  for (const char* name : {"globalHoarder", "closureHoarder"}) {
    const auto editing = loaded(name);
    const std::size_t afterLoad = editing->runtime().retainedBytes();
    std::size_t previous = afterLoad;
    std::size_t growth = 0;
    bool limited = false;
    for (int event = 1; event <= 1000 && !limited; ++event) {
      const APMPEventEditResult result = editing->editEvent(APMPEvent("e", event, {}));
      const std::size_t retained = editing->runtime().retainedBytes();
      ASSERT_LE(retained, APMPRunState::kMaximumRetainedBytes) << name << " after event " << event;
      if (!result.error) {
        ASSERT_TRUE(result.outputEvent) << name;
        EXPECT_EQ(result.outputEvent->parameterForName("events"), platform::Value(static_cast<double>(event))) << name;
        ASSERT_GT(retained, previous) << name;
        growth = retained - previous;
        previous = retained;
        continue;
      }
      limited = true;
      EXPECT_EQ(result.error.domain(), kAPMPErrorDomain) << name;
      EXPECT_EQ(result.error.code(), kAPMPErrorLimitReached) << name;
      // It is the event whose growth would have passed the allowance.
      EXPECT_GT(previous + growth, APMPRunState::kMaximumRetainedBytes) << name << " at event " << event;
      // What it kept is gone; the program is as freshly loaded and handles the next event again.
      EXPECT_EQ(retained, afterLoad) << name;
      const APMPEventEditResult next = editing->editEvent(APMPEvent("e", 0, {}));
      ASSERT_FALSE(next.error) << name << ": " << next.error.description();
      ASSERT_TRUE(next.outputEvent) << name;
      EXPECT_EQ(next.outputEvent->parameterForName("events"), platform::Value(1.0)) << name;
      EXPECT_EQ(editing->callbackHandler().editCallbacks().size(), 1u) << name;
    }
    EXPECT_TRUE(limited) << name;
  }
}

TEST(APMPEventEditingTest, SmallStateKeptInGlobalsCarriesOverEveryEvent) {
  const auto editing = loaded("counter");
  std::vector<std::string> names;
  for (int event = 1; event <= 300; ++event) {
    names.push_back("e" + std::to_string(event));
    const APMPEventEditResult result = editing->editEvent(APMPEvent(names.back(), event, {}));
    ASSERT_FALSE(result.error) << event << ": " << result.error.description();
    ASSERT_TRUE(result.outputEvent);
    EXPECT_EQ(result.outputEvent->parameterForName("count"), platform::Value(static_cast<double>(event)));
    std::string recent;
    for (std::size_t i = names.size() > 3 ? names.size() - 3 : 0; i < names.size(); ++i) {
      recent += (recent.empty() ? "" : ",") + names[i];
    }
    EXPECT_EQ(result.outputEvent->parameterForName("recent"), platform::Value(recent));
  }
}

TEST(APMPEventEditingTest, CallbacksRunInPriorityOrderWithTiesMovedAfterTheLargest) {
  const auto editing = loaded("priorities");
  const APMPEventEditResult result = editing->editEvent(APMPEvent("e", 0, {}));
  ASSERT_FALSE(result.error);
  ASSERT_EQ(result.eventsToLog.size(), 1u);
  // e is 4294967294 read as -2, d -1, f 0 (an undefined priority), a 5, b 9, c 10 (a tie with 5).
  EXPECT_EQ(result.eventsToLog[0]->parameterForName("order"), platform::Value("e d f a b c"));
}

TEST(APMPEventEditingTest, ATieAtTheTopOfThePriorityRangeTakesTheNearestFreePriority) {
  APMPEditingCallbackHandler handler;
  const auto callback = std::make_shared<APMPFunctionValue>(u"f", std::vector<APMPString>{}, APMPArguments{}, nullptr);
  constexpr std::int32_t kTop = std::numeric_limits<std::int32_t>::max();
  platform::Error error;
  ASSERT_TRUE(handler.registerWithPriority(kTop, callback, "edit", &error));
  ASSERT_TRUE(handler.registerWithPriority(kTop - 2, callback, "edit", &error));
  ASSERT_TRUE(handler.registerWithPriority(kTop - 2, callback, "edit", &error));
  EXPECT_EQ(handler.editCallbacks().count(kTop - 1), 1u);
  EXPECT_FALSE(handler.registerWithPriority(kTop, callback, "edit", &error));
  EXPECT_EQ(error.code(), kAPMPEditingErrorTooManyCallbacks);
  error = platform::Error();
  EXPECT_FALSE(handler.registerWithPriority(0, callback, "delete", &error));
  EXPECT_EQ(error.code(), kAPMPEditingErrorUnknownRuleType);
  EXPECT_EQ(handler.editCallbacks().size(), 3u);
}

TEST(APMPEventEditingTest, HandleMethodsReadAndWriteTheOutputEvent) {
  const auto editing = loaded("handleMethods");
  const APMPEvent input("e", 7, {{"gone", platform::Value(1)}, {"orig", platform::Value("name")}});
  platform::Error error;
  EXPECT_TRUE(editing->handleEvent(input, &error)) << error.description();
  const APMPEvent& output = *editing->eventContext().outputEvent();
  EXPECT_EQ(output.name(), "name7");
  EXPECT_FALSE(output.hasParameterName("gone"));
  EXPECT_EQ(output.parameterForName("empty"), platform::Value(""));
  EXPECT_EQ(output.parameterForName("flag"), platform::Value(1.0));
  EXPECT_EQ(output.parameterForName("number"), platform::Value(42.0));
  const platform::Value nested(Dictionary{
      {"a", platform::Value(platform::Value::Array{platform::Value(1.0), platform::Value("x")})}});
  EXPECT_EQ(output.parameterForName("nested"), nested);
  EXPECT_TRUE(editing->hasEdits());
  EXPECT_TRUE(editing->eventContext().inputEvent()->isEqualToEvent(input));
}

TEST(APMPEventEditingTest, AnUnchangedEventIsHandledWhenACallbackCreatedOne) {
  const auto editing = loaded("unchangedButCreated");
  platform::Error error;
  EXPECT_TRUE(editing->handleEvent(APMPEvent("e", 1, {}), &error));
  EXPECT_FALSE(editing->hasEdits());
  EXPECT_TRUE(editing->hasCreatedEvents());
  EXPECT_FALSE(editing->editEvent(APMPEvent("e", 1, {})).outputEvent);
}

// Engine parameters arrive as 64-bit integers and go back as doubles: a value written back
// unchanged is no edit, and keeps its kind when another edit is made.
TEST(APMPEventEditingTest, NumbersWrittenBackUnchangedAreNoEditAndKeepTheirKind) {
  // registerCallback(0, function (e) {
  //   e.setParamValue('n', e.getParamValue('n')); e.setParamValue('items', e.getParamValue('items'));
  //   if (e.getEventName() == 'rename') e.setEventName('renamed');
  //   if (e.getEventName() == 'bump') e.setParamValue('n', 6);
  //   return 0; }, { type: 'edit' });
  const auto program = programMessageFromJSON(*platform::JSON::parse(R"({"statements": [
      ["5",["46",["41","rc"],["3","rc",["require","internal.registerCallback"]]]],
      ["rc",0,["51","",["7","e"],
        ["2",["15","e"],"setParamValue",["7","n",["2",["15","e"],"getParamValue",["7","n"]]]],
        ["2",["15","e"],"setParamValue",["7","items",["2",["15","e"],"getParamValue",["7","items"]]]],
        ["22",["12",["2",["15","e"],"getEventName",["7"]],"rename"],["46",["2",["15","e"],"setEventName",["7","renamed"]]]],
        ["22",["12",["2",["15","e"],"getEventName",["7"]],"bump"],["46",["2",["15","e"],"setParamValue",["7","n",6]]]],
        ["36",0]],
       ["8","type","edit"]]], "activities": []})"));
  APMPEventEditing editing;
  platform::Error error;
  ASSERT_TRUE(editing.loadProgram(*program, &error)) << error.description();
  const platform::Value items(platform::Value::Array{
      platform::Value(Dictionary{{"id", platform::Value("s1")}, {"q", platform::Value(2)}})});
  const auto event = [&](const char* name) {
    return APMPEvent(name, 5, {{"n", platform::Value(5)}, {"items", items}, {"d", platform::Value(2.5)}});
  };
  EXPECT_FALSE(editing.editEvent(event("e")).outputEvent);
  EXPECT_FALSE(editing.hasEdits());

  const auto renamed = editing.editEvent(event("rename")).outputEvent;
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->name(), "renamed");
  EXPECT_TRUE(renamed->parameterForName("n")->isInteger());
  EXPECT_TRUE(renamed->parameterForName("items")->at(0)["q"].isInteger());

  const auto bumped = editing.editEvent(event("bump")).outputEvent;
  ASSERT_TRUE(bumped);
  EXPECT_EQ(bumped->parameterForName("n"), platform::Value(6.0));
}

TEST(APMPEventTest, NumbersAreEqualByValueWhateverTheirKind) {
  const struct {
    platform::Value a, b;
    bool equal;
  } cases[] = {
      {platform::Value(5), platform::Value(5.0), true},
      {platform::Value(5), platform::Value(5.5), false},
      {platform::Value(-1), platform::Value(std::numeric_limits<std::uint64_t>::max()), false},
      // Integers beyond 2^53 are not rounded into a double's value.
      {platform::Value(9007199254740993LL), platform::Value(9007199254740992.0), false},
      {platform::Value(std::numeric_limits<double>::quiet_NaN()), platform::Value(std::numeric_limits<double>::quiet_NaN()), true},
      {platform::Value(1), platform::Value(true), false},
      {platform::Value(1), platform::Value("1"), false},
      {platform::Value(platform::Value::Array{platform::Value(1)}), platform::Value(platform::Value::Array{platform::Value(1.0)}), true},
      {platform::Value(Dictionary{{"q", platform::Value(2)}}), platform::Value(Dictionary{{"q", platform::Value(2.0)}}), true},
      {platform::Value(Dictionary{{"q", platform::Value(2)}}), platform::Value(Dictionary{{"r", platform::Value(2)}}), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMPEvent("e", 0, {{"p", c.a}}).isEqualToEvent(APMPEvent("e", 0, {{"p", c.b}})), c.equal)
        << c.a.description() << " " << c.b.description();
  }
}

TEST(APMPEventEditingTest, ModulesComeFromTheEnvironmentWithSafeDefaults) {
  APMPEventEditingEnvironment environment;
  environment.remoteConfigLookup = [](const std::string& key) -> std::optional<std::string> {
    return key == "k" ? std::optional<std::string>("configured") : std::nullopt;
  };
  environment.packageName = "com.example.focus";
  for (const auto& [env, setting, package] :
       // Without a package name the empty text goes out as the number 0, as every text that reads as a number.
       {std::tuple{APMPEventEditingEnvironment{}, "fallback", platform::Value(0.0)},
        std::tuple{environment, "configured", platform::Value("com.example.focus")}}) {
    const auto result = loaded("modules", env)->editEvent(APMPEvent("e", 0, {}));
    ASSERT_FALSE(result.error) << result.error.description();
    ASSERT_EQ(result.eventsToLog.size(), 1u);
    const Dictionary expected{{"setting", platform::Value(setting)}, {"pkg", package},
                              {"platform", platform::Value("ios")},  {"version", platform::Value(0.0)},
                              {"nothing", platform::Value("undefined")}, {"same", platform::Value(1.0)}};
    EXPECT_EQ(platform::Value(result.eventsToLog[0]->parameters()), platform::Value(expected))
        << platform::JSON::serialize(platform::Value(result.eventsToLog[0]->parameters())).value_or("");
  }
}

TEST(APMPEventEditingTest, TheConfigurationLoadsOnlyItsFirstProgram) {
  EXPECT_FALSE(APMPEventEditing::editingWithPrograms({}, {}));
  EXPECT_FALSE(APMPEventEditing::editingWithPrograms({editingProgramNamed("returnAtTop")}, {}));
  const auto editing =
      APMPEventEditing::editingWithPrograms({editingProgramNamed("priorities"), editingProgramNamed("returnAtTop")}, {});
  ASSERT_TRUE(editing);
  EXPECT_EQ(editing->callbackHandler().editCallbacks().size(), 6u);
}

class APMPProgramLoadingTest : public ScriptTest {};

TEST_F(APMPProgramLoadingTest, EntitiesConvertByKind) {
  auto entity = APMPBRuntimeEntity::initWithMessageInfo();
  const auto convert = [&] { return APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity.get(), &error); };
  EXPECT_EQ(tagged(convert()), "undefined");
  EXPECT_EQ(error.code(), kAPMPErrorUnknownEntity);
  struct Case {
    std::int32_t kind;
    const char* expected;
    std::int64_t code;
  };
  for (const Case& c : std::vector<Case>{{1, "string:", 0}, {2, "number:NaN", 0}, {3, "boolean:false", 0},
                                         {4, "undefined", kAPMPErrorMissingFunctionName}, {9, "undefined", kAPMPErrorUnknownEntity}}) {
    error = platform::Error();
    NANOSetInt32(entity.get(), 0, c.kind);
    EXPECT_EQ(tagged(convert()), c.expected) << c.kind;
    EXPECT_EQ(error.code(), c.code) << c.kind;
  }
  // A statement with a bad argument fails as a whole.
  error = platform::Error();
  NANOSetString(entity.get(), 2, "0");
  NANOSetArray(entity.get(), 1, std::vector{APMPBRuntimeEntity::initWithMessageInfo()});
  EXPECT_EQ(tagged(convert()), "undefined");
  EXPECT_EQ(error.code(), kAPMPErrorUnknownEntity);
}

TEST_F(APMPProgramLoadingTest, TopLevelControlValuesDoNotStopTheRunAndRequireCachesModules) {
  APMPRuntime runtime;
  int made = 0;
  runtime.setModuleCreator([&made]() -> APMPValuePtr { ++made; return APMPMapValue::make(); }, u"counted");
  runtime.setModuleCreator([]() -> APMPValuePtr { return nullptr; }, u"empty");
  const auto run = [&](const std::string& json) {
    error = platform::Error();
    return tagged(runtime.executeStatements(entityMessagesFromJSON(*platform::JSON::parse(json)), &error));
  };
  EXPECT_EQ(run(R"([["41","x"],["4"],["3","x",5],["15","x"]])"), "number:5");
  EXPECT_EQ(run(R"([["20",["require","counted"],["require","counted"]]])"), "boolean:true");
  EXPECT_EQ(made, 1);
  EXPECT_EQ(run(R"([["require","unknown"]])"), "undefined");
  EXPECT_FALSE(error);
  EXPECT_EQ(run(R"([["require","empty"]])"), "undefined");
  EXPECT_EQ(error.code(), kAPMPErrorEmptyModule);
  EXPECT_EQ(run(R"([["require"]])"), "undefined");
  EXPECT_EQ(error.code(), kAPMPErrorArgumentCount);
  EXPECT_EQ(run(R"([["2",["require","internal.platform"],"getVersion",["7"]]])"), "number:0");
}

TEST_F(APMPProgramLoadingTest, NativeObjectsAndValuesConvertBothWays) {
  const APMPValuePtr map = APMPRuntimeEntityConverter::runtimeValueFromNSObject(
      platform::Value(Dictionary{{"b", platform::Value(true)}, {"n", platform::Value(1)}}), &error);
  EXPECT_EQ(tagged(map), "object:{b=boolean:true,n=number:1}");
  APMPRuntimeEntityConverter::runtimeValueFromNSObject(platform::Value(platform::Data{}), &error);
  EXPECT_EQ(error.code(), kAPMPErrorUnconvertibleObject);
  error = platform::Error();
  const auto array = APMPArrayValue::make({APMPNullValue::sharedInstance(), APMPStringValue::make(u"42"),
                                           APMPStringValue::make(u"x")});
  EXPECT_EQ(APMPRuntimeEntityConverter::objectFromRuntimeValue(*array, &error),
            platform::Value(platform::Value::Array{platform::Value(42.0), platform::Value("x")}));
}

}  // namespace
