// Value equality lets an integer equal an unsigned of the same number; round-trip tests also
// need every kind to come back as it went in.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/value.h"

namespace platform::testing {

inline ::testing::AssertionResult sameKinds(const Value& expected, const Value& actual, const std::string& path = "$") {
  if (expected.type() != actual.type()) {
    return ::testing::AssertionFailure() << path << ": kind " << static_cast<int>(actual.type()) << ", expected "
                                         << static_cast<int>(expected.type()) << " (" << actual.description() << " vs "
                                         << expected.description() << ")";
  }
  if (const auto* items = expected.ifArray()) {
    if (items->size() != actual.count()) return ::testing::AssertionFailure() << path << ": array length differs";
    for (std::size_t i = 0; i < items->size(); ++i) {
      auto r = sameKinds((*items)[i], actual.at(i), path + "[" + std::to_string(i) + "]");
      if (!r) return r;
    }
    return ::testing::AssertionSuccess();
  }
  if (const auto* entries = expected.ifDictionary()) {
    if (entries->size() != actual.count()) return ::testing::AssertionFailure() << path << ": dictionary size differs";
    for (const auto& [key, item] : *entries) {
      if (!actual.contains(key)) return ::testing::AssertionFailure() << path << ": missing key " << key;
      auto r = sameKinds(item, actual[key], path + "." + key);
      if (!r) return r;
    }
    return ::testing::AssertionSuccess();
  }
  if (!(expected == actual)) {
    return ::testing::AssertionFailure() << path << ": " << actual.description() << ", expected " << expected.description();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace platform::testing
