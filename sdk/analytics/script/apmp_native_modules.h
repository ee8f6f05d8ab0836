// The native services a program reaches through `require`: the platform's version function, the
// logger module and its variants, the key-value lookup and the object provider. Each is a
// function value that overrides the call and receives its arguments as written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/analytics/script/apmp_function_value.h"

// The runtime version reported to the configuration server and by "getVersion".
inline constexpr std::int64_t kAPMPRuntimeVersion = 0;
inline constexpr std::int64_t kAPMZarazLogMessageCode = 24005;

class APMPFunctionGetVersion final : public APMPFunctionValue {
 public:
  APMPFunctionGetVersion() : APMPFunctionValue(u"getVersion") {}
  APMPValuePtr invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error*) override;
};

class APMPLoggerDelegate {
 public:
  virtual ~APMPLoggerDelegate() = default;
  virtual void logWithLevel(std::int64_t level, const std::string& message, const std::vector<std::string>& context,
                            bool silent, bool monitored) = 0;
};

// Maps a program's level to a monitor level and logs through the engine's monitor.
class APMZarazLogger final : public APMPLoggerDelegate {
 public:
  static std::int64_t monitorLevelForLevel(std::int64_t level, bool silent, bool monitored);
  void logWithLevel(std::int64_t level, const std::string& message, const std::vector<std::string>& context,
                    bool silent, bool monitored) override;
};

class APMPFunctionLog final : public APMPFunctionValue {
 public:
  APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent, bool monitored)
      : APMPFunctionValue(u"log"), logger_(std::move(logger)), silent_(silent), monitored_(monitored) {}
  APMPValuePtr invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                   platform::Error* error) override;

 private:
  std::shared_ptr<APMPLoggerDelegate> logger_;
  const bool silent_;
  const bool monitored_;
};

// The logger module ("internal.logger") and its two variants; calling them does nothing.
class APMPMessageLogger final : public APMPFunctionValue {
 public:
  static std::shared_ptr<APMPMessageLogger> initWithLogger(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPMessageLogger() : APMPFunctionValue(u"internal.logger") {}
  APMPValuePtr invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error*) override;
};
class APMPFunctionLogSilent final : public APMPFunctionValue {
 public:
  static std::shared_ptr<APMPFunctionLogSilent> initWithLogger(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPFunctionLogSilent() : APMPFunctionValue(u"silent") {}
  APMPValuePtr invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error*) override;
};
class APMPFunctionLogUnmonitored final : public APMPFunctionValue {
 public:
  static std::shared_ptr<APMPFunctionLogUnmonitored> initWithLogger(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPFunctionLogUnmonitored() : APMPFunctionValue(u"unmonitored") {}
  APMPValuePtr invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error*) override;
};

using APMPKeyValueLookup = std::function<std::optional<std::string>(const std::string& key)>;

class APMPKeyValueStoreGetValue final : public APMPFunctionValue {
 public:
  explicit APMPKeyValueStoreGetValue(APMPKeyValueLookup lookup)
      : APMPFunctionValue(u"getValue"), lookup_(std::move(lookup)) {}
  APMPValuePtr invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                   platform::Error* error) override;

 private:
  APMPKeyValueLookup lookup_;
};

// A module whose "getValue" looks a key up; calling the module itself only evaluates arguments.
class APMPKeyValueStore final : public APMPFunctionValue {
 public:
  static std::shared_ptr<APMPKeyValueStore> initWithFunctionName(const std::string& name, APMPKeyValueLookup lookup);
  explicit APMPKeyValueStore(APMPString name) : APMPFunctionValue(std::move(name)) {}
};

using APMPObjectBlock = std::function<std::optional<platform::Value>()>;

// Calling it converts the block's object to a runtime value; arguments are not evaluated.
class APMPObjectProvider final : public APMPFunctionValue {
 public:
  APMPObjectProvider(const std::string& name, APMPObjectBlock block);
  static std::shared_ptr<APMPObjectProvider> initWithName(const std::string& name, APMPObjectBlock block) {
    return std::make_shared<APMPObjectProvider>(name, std::move(block));
  }
  APMPValuePtr invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error* error) override;

 private:
  APMPObjectBlock block_;
};
