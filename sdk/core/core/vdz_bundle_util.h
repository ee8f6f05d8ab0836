// Where the options property list is found, and questions about bundle identifiers.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class Bundle;
}

class VDZBundleUtil {
 public:
  using Bundles = std::vector<std::shared_ptr<platform::Bundle>>;

  // The main bundle, then the bundle that holds the SDK when that is another one. The SDK is
  // linked into the app, so that is the main bundle alone.
  static Bundles relevantBundles();
  // The first bundle's path of the resource, or none.
  static std::optional<std::string> optionsDictionaryPathWithResourceName(std::string_view resourceName,
                                                                          std::string_view fileType,
                                                                          const Bundles& bundles);
  // Every string of every "CFBundleURLSchemes" of every "CFBundleURLTypes" entry, in bundle order.
  static std::vector<std::string> relevantURLSchemes();
  // Whether a bundle is the one with that identifier; in an app extension also whether a bundle's
  // identifier without its last part is.
  static bool hasBundleIdentifierPrefix(std::string_view bundleIdentifier, const Bundles& bundles);
  static std::string bundleIdentifierByRemovingLastPartFrom(std::string_view bundleIdentifier);
};
