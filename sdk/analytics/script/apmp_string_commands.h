// The 17 methods of texts, reached through method calls on string values.
#pragma once

#include <functional>
#include <map>

#include "sdk/analytics/script/apmp_runtime_value.h"

class APMPStringCommandEvaluator {
 public:
  using Handler = std::function<APMPValuePtr(const APMPString& text, const APMPArguments& values,
                                             const APMPScopePtr& scope, platform::Error* error)>;

  static APMPStringCommandEvaluator& sharedInstance();
  // Unknown names are error 17; arguments are evaluated before the handler runs.
  APMPValuePtr evaluateCommand(const APMPString& name, const APMPString& text, const APMPArguments& arguments,
                               const APMPScopePtr& scope, platform::Error* error) const;

 private:
  APMPStringCommandEvaluator();
  std::map<APMPString, Handler> handlers_;
};

// Installs the evaluator as the method handler of string values.
void APMPInstallStringMethods();
