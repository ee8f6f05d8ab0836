// The string and array methods' failures and limits; their values are in the differential table.
#include "sdk/analytics/script/apmp_run_state.h"
#include "tests/sdk/analytics/script/script_fixture.h"

namespace {

class APMPMethodsTest : public ScriptTest {};

TEST_F(APMPMethodsTest, ArgumentCountsKindsAndUnknownNamesFail) {
  struct Case {
    const char* program;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {R"([["36",["2","abc","toUpperCase",["7",1]]]])", "error:9"},
      {R"([["36",["2","abc","padStart",["7"]]]])", "error:17"},
      {R"([["36",["2","abc","charAt",["7",1,2]]]])", "error:9"},
      {R"([["36",["2",["7",1],"forEach",["7",["51","",["7"]],2]]]])", "error:9"},
      {R"([["36",["2",["7",1],"map",["7",3]]]])", "error:10"},
      {R"([["36",["2",["7"],"reduce",["7",["51","",["7"]]]]]])", "error:8"},
      {R"([["36",["2",["7",1,2],"sort",["7",7]]]])", "error:10"},
      {R"([["36",["2",["7",1],"flat",["7"]]]])", "error:17"},
      {R"([["36",["2",["7",1],"pop",["7",1]]]])", "error:9"},
      // The pattern does not compile: the statement fails with the expression class's own error.
      {R"([["36",["2","abc","match",["7","("]]]])", "error:2048"},
      {R"([["36",["2","abc","search",["7","["]]]])", "error:2048"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

// Each case on a fresh budget: a catastrophic match spends all of it. The engine's own limit
// bounds each case should the match not be charged, which then fails here instead of hanging.
TEST_F(APMPMethodsTest, ACatastrophicPatternStopsAtItsLimit) {
  // A text of 2^n units built by doubling.
  const auto doubled = [](int n) {
    return R"([["41","s"],["3","s","a"],["41","i"],["3","i",0],["42",["23",["15","i"],)" + std::to_string(n) +
           R"(],["3","i",["0",["15","i"],1]],false,["46",["3","s",["0",["15","s"],["15","s"]]]]],)";
  };
  struct Case {
    std::string program;
    const char* expected;
    bool spendsTheBudget;
  };
  const std::vector<Case> cases = {
      {R"([["36",["2","aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!","match",["7","(a|aa)+$"]]]])", "error:18", true},
      {R"([["36",["2","aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!","search",["7","(a+)+$"]]]])", "error:18", true},
      {R"([["36",["2","aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","search",["7","(.*a){20}x"]]]])", "error:18", true},
      // Quadratic over a long text; its backtracking stack runs out first.
      {doubled(17) + R"(["36",["2",["15","s"],"search",["7","(a|b)*c"]]]])", "error:18", false},
      // A backtracking stack that grows with the text.
      {doubled(17) + R"(["36",["2",["15","s"],"search",["7","a*$"]]]])", "error:18", false},
      {doubled(12) + R"(["36",["2",["15","s"],"search",["7","a*$"]]]])", "number:0", false},
      // A back-reference compares up to the whole text at every step the engine counts.
      {doubled(14) + R"(["36",["2",["15","s"],"search",["7","^(.*)\\1b"]]]])", "error:18", true},
      // A lookahead at every place reads the rest of the text.
      {doubled(14) + R"(["36",["2",["15","s"],"search",["7","(?:(?=.*b).)*$"]]]])", "error:18", true},
  };
  for (const Case& c : cases) {
    heap->resetInstructionCount();
    EXPECT_EQ(run(c.program), c.expected) << c.program;
    if (c.spendsTheBudget) {
      EXPECT_EQ(heap->instructionCount(), APMPRunState::kStepLimit) << c.program;
    }
  }
}

TEST_F(APMPMethodsTest, CallbacksThatMutateTheArrayDuringIterationStaySafe) {
  // Each visit empties the array: later slots are gone before their turn.
  EXPECT_EQ(run(R"([["41","a"],["3","a",["7",1,2,3]],["41","n"],["3","n",0],
      ["2",["15","a"],"forEach",["7",["51","",["7","v"],["3","n",["0",["15","n"],1]],["43",["15","a"],"length",0]]]],
      ["36",["15","n"]]])"),
            "number:1");
  // A comparator that empties the array leaves the sort well defined.
  EXPECT_EQ(run(R"([["41","a"],["3","a",["7",3,1,2]],
      ["36",["2",["15","a"],"sort",["7",["51","",["7","x","y"],["43",["15","a"],"length",0],["36",["37",["15","x"],["15","y"]]]]]]]])"),
            "array:[number:1,number:2,number:3]");
}

TEST_F(APMPMethodsTest, GrowthByMethodsIsChargedToTheRun) {
  // Doubling a text with concat, and an array with concat of itself, stop at the run's limits.
  EXPECT_EQ(run(R"([["41","s"],["3","s","ab"],["42",true,["44"],false,["46",["3","s",["2",["15","s"],"concat",["7",["15","s"]]]]]]])"),
            "error:18");
  EXPECT_EQ(run(R"([["41","a"],["3","a",["7",1]],["42",true,["44"],false,["46",["3","a",["2",["15","a"],"concat",["7",["15","a"]]]]]]])"),
            "error:18");
  EXPECT_EQ(run(R"([["41","s"],["3","s","abcdefgh"],["42",true,["44"],false,["46",["3","s",["2",["15","s"],"replace",["7","a",["15","s"]]]]]]])"),
            "error:18");
}

// A built-in call costs the slots and code units it touches, so a handful of calls over large
// values spends a whole event's budget instead of running for minutes on one step each.
TEST_F(APMPMethodsTest, BuiltInsAreChargedForTheDataTheyTouch) {
  // a: a million holes; s: 2^21 units; w: 2^16 of them; t: 99 "a" then "b"; f: a function.
  const std::string prelude = R"([["41","a"],["3","a",["7"]],["43",["15","a"],"length",1048575],
      ["41","s"],["3","s","a"],["41","i"],["3","i",0],
      ["42",["23",["15","i"],21],["3","i",["0",["15","i"],1]],false,["46",["3","s",["0",["15","s"],["15","s"]]]]],
      ["41","w"],["3","w",["2",["15","s"],"slice",["7",0,65536]]],
      ["41","t"],["3","t",["0",["2",["15","s"],"slice",["7",0,99]],"b"]],
      ["41","f"],["3","f",["51","",["7"]]],["3","i",0],)";
  // The body `times` times, then "done".
  const auto repeated = [&](int times, const std::string& body) {
    return prelude + R"(["42",["23",["15","i"],)" + std::to_string(times) + R"(],["3","i",["0",["15","i"],1]],false,["46",)" +
           body + R"(]],["36","done"]])";
  };
  const struct {
    const char* name;
    int times;
    const char* body;
  } cases[] = {
      {"slice", 20, R"(["2",["15","a"],"slice",["7",0]])"},
      {"join", 20, R"(["2",["15","a"],"join",["7",""]])"},
      {"indexOf", 20, R"(["2",["15","a"],"indexOf",["7",1]])"},
      {"concat", 20, R"(["2",["15","a"],"concat",["7"]])"},
      {"splice", 20, R"(["2",["15","a"],"splice",["7",0,1,1]])"},
      {"sort", 20, R"(["2",["15","a"],"sort",["7"]])"},
      {"forEach", 20, R"(["2",["15","a"],"forEach",["7",["15","f"]]])"},
      {"text indexOf", 20, R"(["2",["15","w"],"indexOf",["7",["15","t"]]])"},
      {"text toUpperCase", 20, R"(["2",["15","s"],"toUpperCase",["7"]])"},
      // Each match stays just below the engine's first report of its work.
      {"text match", 3000, R"(["2","aaaaaaaaaaaaaa!","match",["7","(a|aa)+$"]])"},
      // A loop scans the whole text in one engine step.
      {"text search with a scanning loop", 200, R"(["2",["15","s"],"search",["7","[a-z]*$"]])"},
      {"text search with a scanning dot", 200, R"(["2",["15","s"],"search",["7",".*$"]])"},
      // Compiling a case-insensitive class closes it over its case variants, a new pattern each time.
      {"text search compiling a new pattern", 1000, R"(["2","a","search",["7",["0","(?i)[\\p{L}\\p{N}]",["15","i"]]]])"},
  };
  for (const auto& c : cases) {
    heap = std::make_unique<APMPRuntimeHeap>();
    global = heap->rootScope()->createChildScope();
    EXPECT_EQ(run(repeated(c.times, c.body)), "error:18") << c.name;
  }
  // Small values stay cheap.
  heap->resetInstructionCount();
  EXPECT_EQ(run(R"([["36",["2",["2",["7",1,2,3],"slice",["7",0]],"join",["7","-"]]]])"), "string:1-2-3");
  EXPECT_LT(heap->instructionCount(), 20u);
  // A match pays for the work it did, not for what a hostile one could do, and compiling a
  // pattern the instance keeps is paid for once.
  const char* const ordinary = R"([["36",["2","promo_150_summer","search",["7","^promo_150_[a-z]+$"]]]])";
  EXPECT_EQ(run(ordinary), "number:0");
  heap->resetInstructionCount();
  EXPECT_EQ(run(ordinary), "number:0");
  EXPECT_LT(heap->instructionCount(), 100u);
  heap->resetInstructionCount();
  EXPECT_EQ(run(R"([["41","i"],["3","i",0],["42",["23",["15","i"],1000],["3","i",["0",["15","i"],1]],false,
      ["46",["2","a","search",["7","(?i)[\\p{L}\\p{N}]"]]]],["36","done"]])"),
            "string:done");
  EXPECT_LT(heap->instructionCount(), APMPRunState::kStepLimit / 2);
}

}  // namespace
