// The focus timer launched through the front end's Session on the test's virtual time and home,
// past its first-launch intro unless a test wants it.
#pragma once

#include <memory>
#include <sstream>

#include "tests/app/focus_app_fixture.h"
#include "tools/terminal/script_runner.h"
#include "tools/terminal/session.h"

class SessionTest : public FocusAppTest {
 protected:
  void startSession(terminal::Options options = {}, bool firstLaunch = false) {
    if (!firstLaunch) defaults()->setBool(false, kIsFirstLaunchKey);
    session_ = std::make_unique<terminal::Session>(std::move(options));
    session_->launch();
    runner_ = std::make_unique<terminal::ScriptRunner>(*session_, out_);
  }

  void TearDown() override {
    runner_.reset();
    session_.reset();
    FocusAppTest::TearDown();
  }

  terminal::ScriptRunner::Outcome run(std::string_view line) { return runner_->run(line).outcome; }

  std::unique_ptr<terminal::Session> session_;
  std::ostringstream out_;
  std::unique_ptr<terminal::ScriptRunner> runner_;
};
