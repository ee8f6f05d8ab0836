#include "sdk/analytics/script/apmp_event_editing_loader.h"

namespace {

const platform::Value* entry(const platform::Value& dictionary, std::string_view key) {
  const auto* entries = dictionary.ifDictionary();
  if (!entries) return nullptr;
  const auto it = entries->find(std::string(key));
  return it == entries->end() ? nullptr : &it->second;
}

}  // namespace

void APMPEventEditingLoader::load() { APMSetEventEditingLoader(&APMPEventEditingLoader::loadProgram); }

std::shared_ptr<APMEventEditing> APMPEventEditingLoader::loadProgram(const APMPBProgram& program,
                                                                     const APMEventEditingSources& sources,
                                                                     platform::Error* error) {
  APMPEventEditingEnvironment environment;
  if (sources.remoteConfigValue) environment.remoteConfigLookup = sources.remoteConfigValue;
  const platform::Value metadata = sources.appMetadata ? sources.appMetadata() : platform::Value();
  if (const auto* name = entry(metadata, "package_name"); name && name->isString()) {
    environment.packageName = *name->ifString();
  }
  if (const auto* version = entry(metadata, "app_version"); version && version->isString()) {
    environment.appVersion = *version->ifString();
  }
  if (const auto* version = entry(metadata, "vmp_version"); version && version->isNumber()) {
    environment.libraryVersion = version->integerValue();
  }
  auto editing = std::make_shared<APMPLoadedEventEditing>();
  editing->registerEnvironmentModules(environment);
  if (!editing->loadProgram(program, error)) return nullptr;
  return editing;
}
