// The 21 methods of arrays, reached through method calls on array values that no function-valued
// named property answers.
#pragma once

#include <map>

#include "sdk/analytics/script/apmp_runtime_value.h"

class APMPArrayValue;

class APMPArrayCommandEvaluator {
 public:
  using Handler = APMPValuePtr (*)(APMPArrayValue& array, const APMPArguments& values, const APMPScopePtr& scope,
                                   platform::Error* error);

  static APMPArrayCommandEvaluator& sharedInstance();
  // Unknown names are error 17; arguments are evaluated before the handler runs.
  APMPValuePtr evaluateCommand(const APMPString& name, APMPArrayValue& array, const APMPArguments& arguments,
                               const APMPScopePtr& scope, platform::Error* error) const;

 private:
  APMPArrayCommandEvaluator();
  std::map<APMPString, Handler> handlers_;
};

// Installs the evaluator as the method handler of array values.
void APMPInstallArrayMethods();
