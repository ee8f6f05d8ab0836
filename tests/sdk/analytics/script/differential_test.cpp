// Replays the committed differential table: each snippet's entity tree must give the value a real
// ES engine gave (or, on the marked rows, the interpreter's own documented value).
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/sdk/analytics/script/script_fixture.h"

namespace {

platform::Value loadTable() {
  const char* source = std::getenv("FOCUS_SOURCE_DIR");
  std::ifstream in(std::filesystem::path(source ? source : ".") / "tests/sdk/analytics/script/tables/differential.json");
  std::stringstream text;
  text << in.rdbuf();
  return platform::JSON::parse(text.str()).value_or(platform::Value());
}

class DifferentialTableTest : public ScriptTest {};

TEST_F(DifferentialTableTest, EverySnippetGivesTheExpectedValue) {
  const platform::Value table = loadTable();
  ASSERT_GT(table.arrayOrEmpty().size(), 0u) << "differential table missing";
  for (const platform::Value& row : table.arrayOrEmpty()) {
    heap = std::make_unique<APMPRuntimeHeap>();
    global = heap->rootScope()->createChildScope();
    APMPArguments program;
    for (const platform::Value& node : row["tree"].arrayOrEmpty()) program.push_back(entityFromJSON(node));
    EXPECT_EQ(runProgram(program), row["expected"].stringValue()) << row["js"].stringValue();
  }
}

}  // namespace
