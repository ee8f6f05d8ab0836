#include <pthread.h>

#include <chrono>
#include <functional>
#include <future>

#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_native_modules.h"
#include "tests/sdk/analytics/monitor_recorder.h"
#include "tests/sdk/analytics/script/script_fixture.h"

namespace {

class APMPCommandsTest : public ScriptTest {};

TEST_F(APMPCommandsTest, CommandsFollowTheirTables) {
  const struct {
    const char* program;
    const char* expected;
  } cases[] = {
      {R"([["11"]])", "undefined"},
      {R"([["41","f"],["3","f",1],["f"]])", "undefined"},
      {R"([["3","nowhere",1]])", "error:2"},
      {R"([["43",["44"],"x",1]])", "error:6"},
      {R"([["16",["45"],"x"]])", "undefined"},
      {R"([["43","abc",0,"z"]])", "string:z"},
      {R"([["16","abc",1]])", "string:b"},
      {R"([["16","abc",-1]])", "undefined"},
      {R"([["8",1,"a","1","b"]])", "object:{1=string:b}"},
      {R"([["22",true]])", "undefined"},
      {R"([["22",true,["46",["41","v"],["3","v",4]]],["15","v"]])", "number:4"},
      {R"([["39",true,["46",1],2]])", "array:[number:1]"},
      {R"([["13",1,["36",2]]])", "error:10"},
      {R"([["13"]])", "error:9"},
      {R"([["51",["15","n"],["7"]]])", "error:5"},
      {R"([["18",1,2,3]])", "error:9"},
      {R"([["28",1,2]])", "error:9"},
      {R"([["58",1,2]])", "error:9"},
      {R"([["32",1]])", "error:9"},
      {R"([["38",1,["46",1,2],["46",1]]])", "error:9"},
      {R"([["64","x",5,["46"]]])", "error:16"},
      {R"([["47","x",5,["46"]]])", "undefined"},
      {R"([["41","n"],["42",false,["44"],true,["46",["3","n",1]]]])", "undefined"},
      {R"([["2",["44"],"toString",["7"]]])", "error:7"},
      {R"([["2",1,2,["7"]]])", "error:10"},
      {R"([["40",["51","",["7"]]]])", "string:function"},
      {R"([["52","k",1],["52","k",2],["15","k"]])", "number:1"},
      {R"([["41","m"],["3","m",5],["41","m"],["15","m"]])", "undefined"},
      {R"([["52","k",1],["3","k",2]])", "number:2"},
      {R"([["55","v","ab",["46"]],["15","v"]])", "undefined"},
      {R"([["54","v",["7",1],["46",["3","v",9],["36",["15","v"]]]]])", "string:0"},
  };
  for (const auto& c : cases) {
    heap = std::make_unique<APMPRuntimeHeap>();
    global = heap->rootScope()->createChildScope();
    EXPECT_EQ(run(c.program), c.expected) << c.program;
  }
}

TEST_F(APMPCommandsTest, ErrorsAreStickyAndStopTheList) {
  EXPECT_EQ(run(R"([["41","n"],["3","n",1],["3","missing",1],["3","n",2]])"), "error:2");
  EXPECT_EQ(tagged(global->valueForName(u"n")), "number:1");
  EXPECT_TRUE(APMPEvaluator::evaluateStatement(APMPNumberValue::make(1), global, &error)->isUndefined());
}

TEST_F(APMPCommandsTest, TheStepBudgetAllowsExactlyAMillionEvaluations) {
  heap->resetInstructionCount();
  for (std::uint32_t i = 0; i < APMPRunState::kStepLimit; ++i) {
    APMPEvaluator::evaluateStatement(APMPNumberValue::make(1), global, &error);
  }
  EXPECT_FALSE(error);
  EXPECT_TRUE(APMPEvaluator::evaluateStatement(APMPNumberValue::make(1), global, &error)->isUndefined());
  EXPECT_EQ(error.code(), kAPMPErrorLimitReached);
  heap->resetInstructionCount();
  error = platform::Error();
  EXPECT_EQ(tagged(APMPEvaluator::evaluateStatement(APMPNumberValue::make(1), global, &error)), "number:1");
}

// Hostile programs end in their error within the budget, never in a crash, a hang or gigabytes.
TEST_F(APMPCommandsTest, HostileProgramsEndInTheirError) {
  const struct {
    const char* name;
    const char* program;
    const char* expected;
  } cases[] = {
      {"endless loop", R"([["42",true,["44"],false,["46"]]])", "error:18"},
      {"endless recursion", R"([["50","f",["7"],["36",["f"]]],["f"]])", "error:18"},
      {"deep nesting", R"([["50","f",["7","n"],["36",["0",1,["f",["0",["15","n"],1]]]]],["f",0]])", "error:18"},
      {"huge index", R"([["41","a"],["3","a",["7"]],["43",["15","a"],1e9,1]])", "error:18"},
      {"huge length", R"([["41","a"],["3","a",["7"]],["43",["15","a"],"length",4294967295]])", "error:18"},
      {"text doubling", R"([["41","s"],["3","s","x"],["42",true,["3","s",["0",["15","s"],["15","s"]]],false,["46"]]])",
       "error:18"},
      {"counter tampering", R"([["41","runtime.counter"],["3","runtime.counter",0],["42",true,["3","runtime.counter",0],false,["46"]]])", "error:18"},
      {"budget variable", R"([["52","runtime.counter","x"],["42",true,["44"],false,["46"]]])", "error:18"},
      // Chains as deep as the budget allows, released with the heap: var c = []; while (true) c = [c];
      {"nested arrays", R"([["41","c"],["3","c",["7"]],["42",true,["44"],false,["46",["3","c",["7",["15","c"]]]]],["36",1]])",
       "error:18"},
      // var r = {}, c = r; while (true) { c.n = {}; c = c.n; }
      {"nested maps", R"([["41","r","c"],["3","r",["8"]],["3","c",["15","r"]],
                          ["42",true,["44"],false,["46",["43",["15","c"],"n",["8"]],["3","c",["16",["15","c"],"n"]]]]])",
       "error:18"},
  };
  for (const auto& c : cases) {
    heap = std::make_unique<APMPRuntimeHeap>();
    global = heap->rootScope()->createChildScope();
    EXPECT_EQ(run(c.program), c.expected) << c.name;
    EXPECT_LE(heap->instructionCount(), APMPRunState::kStepLimit) << c.name;
  }
}

// function f(n) { return n == 1 ? 1 : 1 + f(n - 1); } makes n nested calls.
TEST_F(APMPCommandsTest, RecursionRunsToItsDepthLimitAndStopsOneBeyond) {
  const auto recursion = [](int n) {
    return R"([["50","f",["7","n"],["36",["39",["12",["15","n"],1],1,["0",1,["f",["37",["15","n"],1]]]]]],["36",["f",)" +
           std::to_string(n) + "]]]";
  };
  EXPECT_EQ(run(recursion(APMPRunState::kMaximumCallDepth)),
            "number:" + std::to_string(APMPRunState::kMaximumCallDepth));
  EXPECT_EQ(run(recursion(APMPRunState::kMaximumCallDepth + 1)), "error:18");

  // On a thread whose stack cannot hold the limit the run ends in the same error, not a crash.
  struct Job {
    std::function<std::string()> work;
    std::string result;
    std::promise<void> done;
  } job{[&] { return run(recursion(APMPRunState::kMaximumCallDepth)); }, {}, {}};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, APMPRunState::kStackReserve + (std::size_t{256} << 10));
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, [](void* argument) -> void* {
              auto& job = *static_cast<Job*>(argument);
              job.result = job.work();
              job.done.set_value();
              return nullptr;
            }, &job), 0);
  pthread_attr_destroy(&attributes);
  ASSERT_EQ(job.done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  pthread_join(thread, nullptr);
  EXPECT_EQ(job.result, "error:18");
}

TEST_F(APMPCommandsTest, ClosuresKeepTheirScopeAndTheHeapCollectsCycles) {
  EXPECT_EQ(run(R"([["50","counter",["7"],["41","n"],["3","n",0],
                    ["36",["51","",["7"],["3","n",["0",["15","n"],1]],["36",["15","n"]]]]],
                   ["52","c",["counter"]],["c"],["36",["c"]]])"),
            "number:2");
  // A function stored in its own scope is a reference cycle; collecting without roots frees it.
  std::weak_ptr<APMPRuntimeValue> function = global->valueForName(u"counter");
  heap->collectGarbage({global}, {});
  EXPECT_FALSE(function.expired());
  heap->collectGarbage({}, {});
  EXPECT_TRUE(function.expired());
}

TEST_F(APMPCommandsTest, FunctionsHaveNamesPropertiesAndMissingArguments) {
  EXPECT_EQ(run(R"([["50","f",["7","a","b"],["15","b"]],["36",["f",1]]])"), "undefined");
  EXPECT_EQ(run(R"([["36",["2",["15","f"],"toString",["7"]]]])"), "string:f");
  EXPECT_EQ(run(R"([["43",["15","f"],"p",1],["36",["2",["15","f"],"hasOwnProperty",["7","p"]]]])"), "boolean:true");
  EXPECT_EQ(run(R"([["2",["15","f"],"p",["7"]]])"), "error:17");
}

class RecordingLogger final : public APMPLoggerDelegate {
 public:
  void logWithLevel(std::int64_t level, const std::string& message, const std::vector<std::string>& context, bool silent,
                    bool monitored) override {
    lines.push_back(std::to_string(level) + " " + message + " " + std::to_string(context.size()) +
                    (silent ? " silent" : "") + (monitored ? " monitored" : ""));
  }
  std::vector<std::string> lines;
};

TEST_F(APMPCommandsTest, NativeModulesAnswerAsProperties) {
  const auto logger = std::make_shared<RecordingLogger>();
  global->addValue(APMPMessageLogger::initWithLogger(logger), u"logger");
  global->addValue(APMPKeyValueStore::initWithFunctionName("internal.remoteConfig",
                                                           [](const std::string& key) -> std::optional<std::string> {
                                                             if (key == "known") return "v";
                                                             return std::nullopt;
                                                           }),
                   u"config");
  global->addValue(APMPObjectProvider::initWithName("internal.appMetadata",
                                                    [] { return platform::Value::dictionary({{"platform", "ios"}}); }),
                   u"meta");
  global->addValue(std::make_shared<APMPFunctionGetVersion>(), u"getVersion");
  EXPECT_EQ(run(R"([["2",["15","logger"],"log",["7","hi"]]])"), "undefined");
  EXPECT_EQ(run(R"([["2",["15","logger"],"log",["7",6,"m",1,2,3,4,5]]])"), "undefined");
  EXPECT_EQ(run(R"([["2",["16",["15","logger"],"silent"],"log",["7",6,"s"]]])"), "undefined");
  EXPECT_EQ(logger->lines, (std::vector<std::string>{"4 hi 0 monitored", "6 m 3 monitored", "6 s 0 silent monitored"}));
  EXPECT_EQ(run(R"([["2",["15","config"],"getValue",["7","known",1]]])"), "string:v");
  EXPECT_EQ(run(R"([["2",["15","config"],"getValue",["7","other",["7",1]]]])"), "array:[number:1]");
  EXPECT_EQ(run(R"([["meta"]])"), "object:{platform=string:ios}");
  EXPECT_EQ(run(R"([["getVersion"]])"), "number:0");
  EXPECT_EQ(run(R"([["40",["15","logger"]]])"), "string:function");
}

TEST(APMZarazLoggerTest, LevelsMapToMonitorLevelsThroughTheFlags) {
  const struct {
    std::int64_t level;
    bool silent, monitored;
    std::int64_t monitorLevel;
  } cases[] = {{2, true, true, 8},  {3, false, false, 7}, {5, true, true, 5}, {5, false, true, 4}, {5, false, false, 3},
               {6, true, false, 2}, {6, false, true, 1},  {6, false, false, 0}, {4, true, true, 6}, {99, false, true, 6}};
  for (const auto& c : cases) {
    EXPECT_EQ(APMZarazLogger::monitorLevelForLevel(c.level, c.silent, c.monitored), c.monitorLevel) << c.level;
  }
  MonitorRecorder recorder;
  APMZarazLogger().logWithLevel(6, "broken", {"a", "b"}, false, true);
  recorder.monitor()->waitUntilIdle();
  ASSERT_EQ(recorder.lines().size(), 1u);
  EXPECT_EQ(recorder.lines()[0].code, kAPMZarazLogMessageCode);
  EXPECT_EQ(recorder.lines()[0].level, 1);
  EXPECT_EQ(recorder.lines()[0].contexts.size(), 2u);
}

}  // namespace
