#include "sdk/core/core/vdz_bundle_util.h"

#include "platform/foundation/bundle.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"

VDZBundleUtil::Bundles VDZBundleUtil::relevantBundles() {
  // The bundle holding this class is the main bundle itself (the SDK is linked into the app):
  // listing it twice would list every URL scheme twice.
  return {platform::Bundle::main()};
}

std::optional<std::string> VDZBundleUtil::optionsDictionaryPathWithResourceName(std::string_view resourceName,
                                                                                std::string_view fileType,
                                                                                const Bundles& bundles) {
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    if (auto path = bundle->pathForResource(resourceName, fileType)) return path->string();
  }
  return std::nullopt;
}

std::vector<std::string> VDZBundleUtil::relevantURLSchemes() {
  std::vector<std::string> schemes;
  for (const auto& bundle : relevantBundles()) {
    const platform::Value urlTypes = bundle->objectForInfoDictionaryKey("CFBundleURLTypes");
    for (const auto& urlType : urlTypes.arrayOrEmpty()) {
      for (const auto& scheme : urlType["CFBundleURLSchemes"].arrayOrEmpty()) {
        if (const std::string* s = scheme.ifString()) schemes.push_back(*s);
      }
    }
  }
  return schemes;
}

bool VDZBundleUtil::hasBundleIdentifierPrefix(std::string_view bundleIdentifier, const Bundles& bundles) {
  const bool isAppExtension = VULAppEnvironmentUtil::isAppExtension();
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    const std::string identifier = bundle->bundleIdentifier();
    if (identifier == bundleIdentifier) return true;
    if (isAppExtension && bundleIdentifierByRemovingLastPartFrom(identifier) == bundleIdentifier) return true;
  }
  return false;
}

std::string VDZBundleUtil::bundleIdentifierByRemovingLastPartFrom(std::string_view bundleIdentifier) {
  const auto dot = bundleIdentifier.rfind('.');
  if (dot == std::string_view::npos) return {};
  return std::string(bundleIdentifier.substr(0, dot));
}
