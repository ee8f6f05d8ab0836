#include "sdk/core/core/vdz_options.h"

#include <gtest/gtest.h>

#include "core_test_fixture.h"
#include "sdk/core/core/vdz_bundle_util.h"

namespace {

using core_test::CoreTest;
using platform::Value;

using VDZOptionsTest = CoreTest;

TEST_F(VDZOptionsTest, DefaultOptionsComeFromTheOptionsFileOncePerProcess) {
  const auto options = VDZOptions::defaultOptions();
  ASSERT_TRUE(options);
  EXPECT_EQ(options, VDZOptions::defaultOptions());
  EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
  EXPECT_FALSE(options->isEditingLocked());
  EXPECT_EQ(options->videzuAppID(), std::string(core_test::kAppID));
  EXPECT_EQ(options->bundleID(), std::string(core_test::kBundleID));
  EXPECT_EQ(options->APIKey(), "test-api-key");
  EXPECT_EQ(options->projectID(), "focus-timer-test");
  EXPECT_EQ(options->VCMSenderID(), "408716253291");
  EXPECT_FALSE(options->clientID());

  // The file is read again only after a reset.
  auto changed = core_test::optionsDictionary();
  changed["API_KEY"] = "changed";
  core_test::writePlist(platform::Bundle::main()->bundlePath() / "VidezuService-Info.plist", Value(changed));
  EXPECT_EQ(VDZOptions::defaultOptions()->APIKey(), "test-api-key");
  VDZOptions::resetDefaultOptions();
  EXPECT_EQ(VDZOptions::defaultOptions()->APIKey(), "changed");
}

TEST_F(VDZOptionsTest, AnUnreadableOptionsFileGivesNoDefaultOptions) {
  const auto path = platform::Bundle::main()->bundlePath() / "VidezuService-Info.plist";
  ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(path, std::string_view("<plist><dict><key>")));
  VDZOptions::resetDefaultOptions();
  EXPECT_FALSE(VDZOptions::defaultOptions());
  EXPECT_FALSE(VDZOptions::defaultOptionsDictionary());
  EXPECT_TRUE(logged("[I-COR000011] The configuration file is not a dictionary: 'VidezuService-Info.plist'."));
}

TEST_F(VDZOptionsTest, OptionsFromAFileOrFromIdentifiers) {
  const auto path = platform::Home::path() / "custom.plist";
  core_test::writePlist(path, Value(core_test::optionsDictionary()));
  const auto fromFile = VDZOptions::initWithContentsOfFile(path.string());
  ASSERT_TRUE(fromFile);
  EXPECT_FALSE(fromFile->usingOptionsFromDefaultPlist());
  EXPECT_EQ(fromFile->optionsDictionary(), core_test::optionsDictionary());

  EXPECT_FALSE(VDZOptions::initWithContentsOfFile(""));
  EXPECT_TRUE(logged("[I-COR000013] The plist file path is nil."));
  const auto missing = (platform::Home::path() / "missing.plist").string();
  EXPECT_FALSE(VDZOptions::initWithContentsOfFile(missing));
  EXPECT_TRUE(logged("[I-COR000014] The configuration file at " + missing +
                     " does not exist or is not a well-formed plist file."));

  const auto fromIDs = VDZOptions::initWithVidezuAppID("1:5:ios:f", "5");
  EXPECT_EQ(fromIDs->optionsDictionary(),
            (Value::Dictionary{{"VIDEZU_APP_ID", "1:5:ios:f"}, {"VCM_SENDER_ID", "5"}, {"BUNDLE_ID", "com.focus.timer"}}));
  EXPECT_FALSE(fromIDs->usingOptionsFromDefaultPlist());
}

TEST_F(VDZOptionsTest, LockedOptionsRefuseEveryChangeAndTheirCopiesStayLocked) {
  auto options = VDZOptions::initWithVidezuAppID("1:5:ios:f", "5");
  options->setDeepLinkURLScheme("focus");
  options->setAppGroupID("group.focus");
  options->setEditingLocked(true);
  const auto copy = options->copy();
  EXPECT_TRUE(copy->isEditingLocked());
  EXPECT_EQ(copy->deepLinkURLScheme(), "focus");
  EXPECT_EQ(copy->appGroupID(), "group.focus");
  EXPECT_FALSE(copy->usingOptionsFromDefaultPlist());

  const std::function<void()> setters[] = {
      [&] { copy->setAPIKey("x"); },
      [&] { copy->setVidezuAppID("1:1:ios:1"); },
      [&] { copy->setBundleID("x"); },
      [&] { copy->setDeepLinkURLScheme("x"); },
      [&] { copy->setAppGroupID("x"); },
  };
  for (const auto& set : setters) {
    auto e = core_test::raised(set);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name(), "com.vuduzara.core");
    EXPECT_EQ(e->reason(),
              "Attempted to modify options after it's set on VDZApp. Please modify all properties before "
              "initializing VDZApp.");
  }
  EXPECT_EQ(copy->APIKey(), std::nullopt);
}

TEST_F(VDZOptionsTest, EqualityNeedsTheSameSettingsEverywhere) {
  const auto base = VDZOptions::initWithVidezuAppID("1:5:ios:f", "5");
  struct Case {
    const char* label;
    std::function<void(VDZOptions&)> change;
    bool equal;
  };
  const Case cases[] = {
      {"a plain copy", [](VDZOptions&) {}, true},
      {"a locked copy", [](VDZOptions& o) { o.setEditingLocked(true); }, true},
      {"a deep-link scheme on one side", [](VDZOptions& o) { o.setDeepLinkURLScheme("focus"); }, false},
      {"an app group on one side", [](VDZOptions& o) { o.setAppGroupID("group"); }, false},
      {"another key", [](VDZOptions& o) { o.setAPIKey("k"); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto other = base->copy();
    c.change(*other);
    EXPECT_EQ(base->isEqual(other), c.equal);
    EXPECT_EQ(other->isEqual(base), c.equal);
    if (c.equal) {
      EXPECT_EQ(base->hash(), other->hash());
    }
  }
  EXPECT_FALSE(base->isEqual(nullptr));
}

TEST_F(VDZOptionsTest, AnalyticsSwitchesMergeInfoPlistOverTheOptions) {
  struct Case {
    const char* label;
    Value::Dictionary info;
    Value::Dictionary options;
    bool deactivated, measurement, collection, explicitlySet;
  };
  const Case cases[] = {
      {"nothing set", {}, {}, false, false, false, false},
      {"Info.plist off wins over options on",
       {{"VUDUZARA_ANALYTICS_COLLECTION_ENABLED", false}},
       {{"VUDUZARA_ANALYTICS_COLLECTION_ENABLED", true}},
       false, false, false, true},
      {"deactivated beats everything",
       {{"VUDUZARA_ANALYTICS_COLLECTION_DEACTIVATED", true}},
       {{"VUDUZARA_ANALYTICS_COLLECTION_ENABLED", true}, {"IS_MEASUREMENT_ENABLED", true}},
       true, false, false, true},
      {"measurement on carries collection", {}, {{"IS_MEASUREMENT_ENABLED", true}}, false, true, true, true},
      {"a text switch counts but is not explicit", {}, {{"IS_MEASUREMENT_ENABLED", "YES"}}, false, true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto dictionary = core_test::optionsDictionary();
    dictionary.insert(c.options.begin(), c.options.end());
    const auto options = VDZOptions::initInternalWithOptionsDictionary(dictionary);
    options->analyticsOptionsDictionaryWithInfoDictionary(c.info);
    EXPECT_EQ(options->isAnalyticsCollectionDeactivated(), c.deactivated);
    EXPECT_EQ(options->isMeasurementEnabled(), c.measurement);
    EXPECT_EQ(options->isAnalyticsCollectionEnabled(), c.collection);
    EXPECT_EQ(options->isAnalyticsCollectionExplicitlySet(), c.explicitlySet);
  }
}

TEST_F(VDZOptionsTest, MeasurementFallsBackToTheDefaultAppsDataCollectionSwitch) {
  const auto options = VDZOptions::initInternalWithOptionsDictionary(core_test::optionsDictionary());
  EXPECT_FALSE(options->isMeasurementEnabled());  // no default app yet
  VDZApp::configure();
  EXPECT_TRUE(options->isMeasurementEnabled());
  VDZApp::defaultApp()->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(options->isMeasurementEnabled());
}

TEST(VDZOptionsLibraryVersionTest, IsTheVersionPackedIntoDigits) { EXPECT_EQ(VDZOptions::libraryVersionID(), "81500000"); }

using VDZBundleUtilTest = CoreTest;

TEST_F(VDZBundleUtilTest, URLSchemesOfEveryURLType) {
  EXPECT_TRUE(VDZBundleUtil::relevantURLSchemes().empty());

  core_test::BundleContents contents;
  contents.info["CFBundleURLTypes"] = Value::array({
      Value::dictionary({{"CFBundleURLSchemes", Value::array({"focus", "focus-timer"})}}),
      Value::dictionary({{"CFBundleURLName", "no schemes"}}),
      Value::dictionary({{"CFBundleURLSchemes", Value::array({"vdz"})}}),
  });
  useBundle(contents);
  // Each scheme once: the bundle holding the SDK is the main bundle, not a second bundle.
  EXPECT_EQ(VDZBundleUtil::relevantURLSchemes(), (std::vector<std::string>{"focus", "focus-timer", "vdz"}));
  EXPECT_EQ(VDZBundleUtil::relevantBundles().size(), 1u);
}

TEST_F(VDZBundleUtilTest, BundleIdentifierPrefixCountsTheParentAppOnlyInAnExtension) {
  struct Case {
    const char* folder;
    const char* bundleIdentifier;
    const char* asked;
    bool expected;
  };
  const Case cases[] = {
      {"Focus.app", "com.focus.timer", "com.focus.timer", true},
      {"Focus.app", "com.focus.timer.widget", "com.focus.timer", false},
      {"Widget.appex", "com.focus.timer.widget", "com.focus.timer", true},
      {"Widget.appex", "com.focus.timer.widget", "com.focus", false},
      {"Widget.appex", "com.focus.timer.widget", "com.focus.timer.widget", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + " " + c.asked);
    core_test::BundleContents contents;
    contents.folder = c.folder;
    contents.info["CFBundleIdentifier"] = c.bundleIdentifier;
    useBundle(contents);
    EXPECT_EQ(VDZBundleUtil::hasBundleIdentifierPrefix(c.asked, VDZBundleUtil::relevantBundles()), c.expected);
  }
  EXPECT_EQ(VDZBundleUtil::bundleIdentifierByRemovingLastPartFrom("com.focus.timer"), "com.focus");
  EXPECT_EQ(VDZBundleUtil::bundleIdentifierByRemovingLastPartFrom("single"), "");
}

}  // namespace
