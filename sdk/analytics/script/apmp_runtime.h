// One interpreter instance: its heap (root scope and run budget), the global scope a program's
// top level declares into, and the registry of modules programs obtain with `require`.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "sdk/analytics/script/apmp_function_value.h"
#include "sdk/analytics/script/apmp_run_state.h"

class APMPBRuntimeEntity;

// Makes a new module each time it is asked; nullptr stands for "nothing".
using APMPModuleCreator = std::function<APMPValuePtr()>;

class APMPDynamicProvider {
 public:
  void setModuleCreator(APMPModuleCreator creator, const APMPString& name);
  // Undefined (no error) for an unregistered name; nullptr with error 15 when the creator gives
  // nothing.
  APMPValuePtr moduleForName(const APMPString& name, platform::Error* error) const;

 private:
  std::map<APMPString, APMPModuleCreator> creators_;
};

// The program's `require`: each module is made at most once per runtime and then cached, an
// unregistered name included (it stays undefined).
class APMPRequire final : public APMPFunctionValue {
 public:
  explicit APMPRequire(std::shared_ptr<APMPDynamicProvider> provider)
      : APMPFunctionValue(u"require"), provider_(std::move(provider)) {}
  APMPValuePtr invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                   platform::Error* error) override;
  void traceChildren(APMPTracer& tracer) const override;

 private:
  std::shared_ptr<APMPDynamicProvider> provider_;
  std::map<APMPString, APMPValuePtr> modules_;
};

// "internal.platform": calling it gives undefined; its "getVersion" gives the runtime version.
class APMPRuntimePlatform final : public APMPFunctionValue {
 public:
  APMPRuntimePlatform();
  APMPValuePtr invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error*) override;
};

class APMPRuntime {
 public:
  APMPRuntime();
  APMPRuntime(const APMPRuntime&) = delete;
  APMPRuntime& operator=(const APMPRuntime&) = delete;

  static std::int64_t runtimeVersion();

  void setModuleCreator(APMPModuleCreator creator, const APMPString& name);
  // Converts and evaluates each entity in the global scope; the last value is the result. A
  // top-level break, continue or return is just a value here and does not stop the run.
  APMPValuePtr executeStatements(const std::vector<std::shared_ptr<APMPBRuntimeEntity>>& entities,
                                 platform::Error* error);
  // A new child of the global scope on every call.
  APMPScopePtr getRunScope();
  std::uint32_t getInstructionCount(platform::Error* error) const;
  void resetInstructionCount() { heap_.resetInstructionCount(); }

  const APMPScopePtr& globalScope() const { return global_; }
  // Between runs only: frees the reference cycles no longer reachable from the global scope, the
  // module cache or `extraRoots` (callbacks the host keeps). False when what they reach passes
  // the allowance of what a program may keep between runs.
  bool collectGarbage(const std::vector<APMPValuePtr>& extraRoots);
  // Between runs only: a new global scope and module cache, as on a new runtime; the module
  // creators stay. The next collection frees what only the old ones held.
  void resetGlobalState();
  // What the last collection found reachable, in bytes.
  std::size_t retainedBytes() const { return heap_.retainedBytes(); }

 private:
  APMPRuntimeHeap heap_;
  APMPScopePtr global_;
  std::shared_ptr<APMPDynamicProvider> provider_;
  std::shared_ptr<APMPRequire> require_;
};
