// Interpreters on several threads at once share only the registrar and the shared values; each
// keeps its budget and its current run state to its own thread.
#include <atomic>
#include <thread>
#include <vector>

#include "sdk/analytics/script/apmp_event_editing.h"
#include "tests/sdk/analytics/script/program_fixture.h"
#include "tests/sdk/analytics/script/script_fixture.h"

namespace {

TEST(APMPThreadsStressTest, SeparateHeapsRunConcurrently) {
  const std::string program =
      R"([["41","s"],["3","s",0],["53",["41","i"],["3","i",0],["63",["7","i"],["23",["15","i"],200],["3","i",["0",["15","i"],1]],
          ["46",["3","s",["0",["15","s"],["0","",["15","i"]]]]]]],["36",["16",["15","s"],"length"]]])";
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 20; ++round) {
        APMPRuntimeHeap heap;
        const APMPScopePtr global = heap.rootScope()->createChildScope();
        platform::Error error;
        const APMPValuePtr result = APMPEvaluator::executeStatements(programFromJSON(program), global, &error);
        if (error || result->kind() != APMPRuntimeValue::Kind::Control) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// Editing instances on several threads: the string and array methods, the regular expressions
// and the created events of each stay with its own thread.
TEST(APMPThreadsStressTest, EditingInstancesRunConcurrently) {
  const auto program = editingProgramNamed("fixture");
  ASSERT_TRUE(program);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      APMPEventEditing editing;
      platform::Error error;
      if (!editing.loadProgram(*program, &error)) ++failures;
      for (int round = 0; round < 30; ++round) {
        const APMPEvent event(round % 2 ? "purchase_x" : "old_name", round, {{"tags", platform::Value("A,b")}});
        const APMPEventEditResult result = editing.editEvent(event);
        if (result.error || !result.outputEvent || result.eventsToLog.size() != (round % 2 ? 1u : 0u)) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
