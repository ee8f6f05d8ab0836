#include "sdk/core/core/vdz_app.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <mutex>
#include <thread>

#include "core_test_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/user_defaults.h"
#include "platform/ui/application.h"
#include "sdk/core/core/dor_evoredire_configuration.h"
#include "sdk/core/core/vdz_configuration.h"
#include "sdk/core/core/vdz_diagnostics_data.h"
#include "sdk/core/core/vdz_options.h"
#include "sdk/core/core/vdz_vuduzara_user_agent.h"

namespace {

using core_test::CoreTest;
using core_test::raised;
using platform::Value;

std::shared_ptr<VDZOptions> optionsWithAppID(std::string_view appID) {
  auto dictionary = core_test::optionsDictionary();
  dictionary["VIDEZU_APP_ID"] = Value(appID);
  return VDZOptions::initInternalWithOptionsDictionary(dictionary);
}

std::shared_ptr<VDZOptions> validOptions() { return optionsWithAppID(core_test::kAppID); }

// Collects the notifications of one name while alive.
class NotificationRecorder {
 public:
  explicit NotificationRecorder(std::string_view name)
      : observer_(platform::NotificationCenter::defaultCenter().addObserver(
            std::string(name), nullptr, nullptr,
            [this](const platform::Notification& n) { notifications_.push_back(n); })) {}
  const std::vector<platform::Notification>& notifications() const { return notifications_; }

 private:
  std::vector<platform::Notification> notifications_;
  std::shared_ptr<platform::NotificationObserver> observer_;
};

using VDZAppConfigureTest = CoreTest;

TEST_F(VDZAppConfigureTest, ConfigureMakesTheDefaultAppFromTheOptionsFile) {
  VDZApp::configure();

  const auto app = VDZApp::defaultApp();
  ASSERT_TRUE(app);
  EXPECT_TRUE(app->isDefaultApp());
  EXPECT_EQ(app->name(), "__VDZAPP_DEFAULT");
  EXPECT_TRUE(VDZApp::isDefaultAppConfigured());
  EXPECT_EQ(app->options()->videzuAppID(), std::string(core_test::kAppID));
  EXPECT_TRUE(app->options()->isEditingLocked());
  EXPECT_TRUE(app->options()->usingOptionsFromDefaultPlist());
  // Each call hands out a fresh copy, so no caller can edit the app's own options.
  EXPECT_NE(app->options(), app->options());
  EXPECT_FALSE(VDZOptions::defaultOptions()->isEditingLocked());
  ASSERT_TRUE(VDZApp::allApps());
  EXPECT_EQ(VDZApp::allApps()->size(), 1u);
  EXPECT_EQ(VDZApp::appNamed("__VDZAPP_DEFAULT"), app);
  EXPECT_TRUE(logged("8.15.0 - [Vuduzara/Core][I-COR000001] Configuring the default app."));
}

TEST_F(VDZAppConfigureTest, ConfiguringTwiceOutsideAnExtensionRaises) {
  VDZApp::configure();
  auto e = raised([] { VDZApp::configure(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name(), "com.vuduzara.core");
  EXPECT_EQ(e->reason(), "Default app has already been configured.");

  VDZApp::configureWithName("second", validOptions());
  e = raised([] { VDZApp::configureWithName("second", validOptions()); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name(), "com.vuduzara.core");
  EXPECT_EQ(e->reason(), "App named second has already been configured.");
}

TEST_F(VDZAppConfigureTest, ConfiguringTwiceInAnExtensionIsAllowedOnlyWithEqualOptions) {
  core_test::BundleContents extension;
  extension.folder = "Widget.appex";
  useBundle(extension);
  VDZApp::configure();
  const auto first = VDZApp::defaultApp();

  // Equal options: the second call is ignored.
  EXPECT_NO_THROW(VDZApp::configureWithOptions(VDZOptions::defaultOptions()));
  EXPECT_EQ(VDZApp::defaultApp(), first);
  EXPECT_TRUE(logged("[I-COR000035] Ignoring second `configure` call in an extension."));

  auto other = validOptions();
  other->setAPIKey("another-key");
  auto e = raised([&] { VDZApp::configureWithOptions(other); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->reason(), "App named __VDZAPP_DEFAULT has already been configured.");
  EXPECT_EQ(VDZApp::defaultApp(), first);
}

TEST_F(VDZAppConfigureTest, MisuseRaisesWithTheReason) {
  struct Case {
    const char* label;
    std::function<void()> call;
    const char* reason;
  };
  const std::string alphanumeric =
      "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters";
  const Case cases[] = {
      {"nil options", [] { VDZApp::configureWithOptions(nullptr); }, "Options is nil. Please pass a valid options."},
      {"nil options with a name", [] { VDZApp::configureWithName("named", nullptr); },
       "Neither name nor options can be nil."},
      {"empty name", [] { VDZApp::configureWithName("", validOptions()); }, "Name cannot be empty."},
      {"blank", [] { VDZApp::configureWithName("my app", validOptions()); }, alphanumeric.c_str()},
      {"slash", [] { VDZApp::configureWithName("my/app", validOptions()); }, alphanumeric.c_str()},
      {"period", [] { VDZApp::configureWithName("my.app", validOptions()); }, alphanumeric.c_str()},
      {"symbol", [] { VDZApp::configureWithName("app\xF0\x9F\x98\x80", validOptions()); }, alphanumeric.c_str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto e = raised(c.call);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name(), "com.vuduzara.core");
    EXPECT_EQ(e->reason(), c.reason);
  }
  EXPECT_FALSE(VDZApp::isDefaultAppConfigured());
}

TEST_F(VDZAppConfigureTest, NamesOfLettersDigitsHyphensAndUnderscoresAreAccepted) {
  for (const char* name : {"app-1_x", "\xC3\x9Cnic\xC3\xB6" "de", "__VDZAPP_DEFAULT"}) {
    SCOPED_TRACE(name);
    EXPECT_NO_THROW(VDZApp::configureWithName(name, validOptions()));
    EXPECT_TRUE(VDZApp::appNamed(name));
  }
  // Given explicitly, the default name makes the default app.
  ASSERT_TRUE(VDZApp::defaultApp());
  EXPECT_TRUE(VDZApp::defaultApp()->isDefaultApp());
  EXPECT_FALSE(VDZApp::appNamed("app-1_x")->isDefaultApp());
}

TEST_F(VDZAppConfigureTest, MissingOrDamagedOptionsFileRaises) {
  struct Case {
    const char* label;
    std::optional<Value> options;
    const char* logLine;
  };
  const Case cases[] = {
      {"missing", std::nullopt,
       "[I-COR000012] Could not locate configuration file: 'VidezuService-Info.plist'."},
      {"not a dictionary", Value::array({"VIDEZU_APP_ID"}),
       "[I-COR000011] The configuration file is not a dictionary: 'VidezuService-Info.plist'."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    core_test::BundleContents contents;
    contents.options = c.options;
    useBundle(contents);
    auto e = raised([] { VDZApp::configure(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name(), "com.vuduzara.core");
    EXPECT_EQ(e->reason(),
              "`VuduzaraApp.configure()` could not find a valid VidezuService-Info.plist in your project. Please "
              "download one from https://console.videzu.invalid/.");
    EXPECT_TRUE(logged(c.logLine));
    EXPECT_FALSE(VDZApp::isDefaultAppConfigured());
  }
}

TEST_F(VDZAppConfigureTest, AnInvalidAppIdentifierFailsTheConfiguration) {
  auto e = raised([] { VDZApp::configureWithOptions(optionsWithAppID("1:408716253291:android:5f8c2a1e")); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name(), "com.vuduzara.core");
  EXPECT_EQ(e->reason(),
            "Configuration fails. It may be caused by an invalid VIDEZU_APP_ID in VidezuService-Info.plist or set in "
            "the customized options.");
  EXPECT_TRUE(logged("[I-COR000009] The VIDEZU_APP_ID either in the plist file 'VidezuService-Info.plist' or the "
                     "one set in the customized options is invalid."));
  // Nothing is rolled back: the failed default app stays recorded, the registry lacks it.
  EXPECT_TRUE(VDZApp::isDefaultAppConfigured());
  ASSERT_TRUE(VDZApp::allApps());
  EXPECT_TRUE(VDZApp::allApps()->empty());
}

TEST_F(VDZAppConfigureTest, ABundleIdentifierMismatchIsOnlyLogged) {
  auto options = validOptions();
  options->setBundleID("com.other.app");
  EXPECT_NO_THROW(VDZApp::configureWithOptions(options));
  EXPECT_TRUE(VDZApp::defaultApp());
  EXPECT_TRUE(logged("[I-COR000008] The project's Bundle ID is inconsistent"));
  EXPECT_TRUE(logged("you may change your app's bundle identifier to 'com.other.app'"));
}

TEST(VDZAppIdentifierTest, ValidatesVersionProjectPlatformAndHexPart) {
  struct Case {
    const char* appID;
    bool valid;
  };
  const Case cases[] = {
      {"1:408716253291:ios:5f8c2a1e9d3b4c70", true},
      {"1:1:ios:0", true},
      {"1:408716253291:ios:0x5F8C", true},
      {"2:anything at all", true},   // unknown version: accepted
      {"12:", true},
      {"1:408716253291:android:5f8c2a1e", false},
      {"1:408716253291:iOS:5f8c2a1e", false},
      {"1:408716253291:ios:", false},
      {"1:408716253291:ios:xyz", false},
      {"1:408716253291:ios:5f8c:extra", false},
      {"1:408716253291:ios:5f8c ", false},
      {"1:project:ios:5f8c", false},
      {":1:408716253291:ios:5f8c", false},
      {"1", false},
      {"a:408716253291:ios:5f8c", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.appID);
    EXPECT_EQ(VDZApp::validateAppID(c.appID), c.valid);
  }
}

TEST_F(VDZAppConfigureTest, AnUnknownIdentifierVersionIsLogged) {
  EXPECT_TRUE(VDZApp::validateAppID("2:whatever"));
  EXPECT_TRUE(logged("[I-COR000010] Unknown VIDEZU_APP_ID version: 2"));
}

TEST(VDZAppErrorTest, ErrorsCarryDomainCodeAndTexts) {
  struct Case {
    platform::Error error;
    std::int64_t code;
    const char* description;
    const char* suggestion;
  };
  const Case cases[] = {
      {VDZApp::errorForMissingOptions(), -100,
       "Unable to parse VidezuService-Info.plist in order to configure services.",
       "Check formatting and location of VidezuService-Info.plist."},
      {VDZApp::errorForInvalidAppID(), -101, "Unable to validate Videzu App ID",
       "Check formatting and location of VidezuService-Info.plist or VidezuAppID set in the customized options."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(c.error.domain(), "com.vuduzara.core");
    EXPECT_EQ(c.error.code(), c.code);
    EXPECT_EQ(c.error.localizedDescription(), c.description);
    EXPECT_EQ(c.error.userInfo().at(std::string(platform::kLocalizedRecoverySuggestionErrorKey)), Value(c.suggestion));
  }
}

TEST_F(VDZAppConfigureTest, ReadyNotificationCarriesTheAppsFacts) {
  NotificationRecorder ready("VDZAppReadyToConfigureSDKNotification");
  VDZApp::configure();
  VDZApp::configureWithName("second", optionsWithAppID("1:99:ios:abc"));

  ASSERT_EQ(ready.notifications().size(), 2u);
  const auto& first = ready.notifications()[0];
  EXPECT_EQ(first.object, VDZApp::classObject());
  EXPECT_EQ(first.userInfo, (Value::Dictionary{{"VDZAppNameKey", "__VDZAPP_DEFAULT"},
                                               {"VDZAppIsDefaultAppKey", true},
                                               {"VDZVidezuAppIDKey", Value(core_test::kAppID)}}));
  EXPECT_EQ(ready.notifications()[1].userInfo, (Value::Dictionary{{"VDZAppNameKey", "second"},
                                                                   {"VDZAppIsDefaultAppKey", false},
                                                                   {"VDZVidezuAppIDKey", "1:99:ios:abc"}}));
}

TEST_F(VDZAppConfigureTest, LookupsBeforeConfigurationReportTheirAbsence) {
  EXPECT_FALSE(VDZApp::allApps());
  EXPECT_TRUE(logged("[I-COR000005] No app has been configured yet."));
  EXPECT_FALSE(VDZApp::defaultApp());
  EXPECT_TRUE(logged(
      "[I-COR000003] The default Vuduzara app has not yet been configured. Add `VuduzaraApp.configure()` to your "
      "application initialization."));
  EXPECT_FALSE(VDZApp::appNamed("nope"));
  EXPECT_TRUE(logged("[I-COR000004] App with name nope does not exist."));
}

// Data collection

using VDZAppDataCollectionTest = CoreTest;

TEST_F(VDZAppDataCollectionTest, UserDefaultsWinOverInfoPlistWhichWinsOverTheDefault) {
  struct Case {
    const char* label;
    Value stored;     // under the app's user-defaults key; null: nothing stored
    Value infoPlist;  // "VuduzaraDataCollectionDefaultEnabled"; null: absent
    bool expected;
  };
  const Case cases[] = {
      {"nothing set", {}, {}, true},
      {"Info.plist off", {}, false, false},
      {"Info.plist on", {}, true, true},
      {"user default on over Info.plist off", true, false, true},
      {"user default off over Info.plist on", false, true, false},
      {"user default as an integer", 0, true, false},
      {"a string in the user defaults is ignored", "NO", false, false},
      {"a string in both is ignored", "NO", "NO", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    core_test::BundleContents contents;
    if (!c.infoPlist.isNull()) contents.info["VuduzaraDataCollectionDefaultEnabled"] = c.infoPlist;
    useBundle(contents);
    const auto defaults = platform::UserDefaults::standard();
    defaults->setObject(c.stored, "/videzu/vuduzara/global_data_collection_enabled:__VDZAPP_DEFAULT");

    VDZApp::configure();
    EXPECT_EQ(VDZApp::defaultApp()->isDataCollectionDefaultEnabled(), c.expected);
    defaults->removeObjectForKey("/videzu/vuduzara/global_data_collection_enabled:__VDZAPP_DEFAULT");
  }
}

TEST_F(VDZAppDataCollectionTest, SettingTheSwitchPersistsItPerApp) {
  VDZApp::configure();
  VDZApp::configureWithName("second", validOptions());
  const auto app = VDZApp::appNamed("second");

  app->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());
  EXPECT_TRUE(VDZApp::defaultApp()->isDataCollectionDefaultEnabled());
  EXPECT_EQ(platform::UserDefaults::standard()->objectForKey("/videzu/vuduzara/global_data_collection_enabled:second"),
            Value(false));

  app->clearDataCollectionSwitchFromUserDefaults();
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());
}

TEST_F(VDZAppDataCollectionTest, TheDefaultAppPassesTheSwitchToAnalyticsUnlessAnalyticsIsSetExplicitly) {
  struct Case {
    const char* label;
    std::string app;
    Value::Dictionary info;
    bool announced;
  };
  const Case cases[] = {
      {"default app", "__VDZAPP_DEFAULT", {}, true},
      {"other app", "second", {}, false},
      {"explicit analytics switch", "__VDZAPP_DEFAULT", {{"VUDUZARA_ANALYTICS_COLLECTION_ENABLED", true}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    core_test::BundleContents contents;
    contents.info.insert(c.info.begin(), c.info.end());
    useBundle(contents);
    VDZApp::configureWithName(c.app, validOptions());
    NotificationRecorder announcements("DOREvoredireConfigurationSetEnabledNotification");

    VDZApp::appNamed(c.app)->setDataCollectionDefaultEnabled(false);

    if (c.announced) {
      ASSERT_EQ(announcements.notifications().size(), 1u);
      EXPECT_EQ(announcements.notifications()[0].userInfo,
                (Value::Dictionary{{"DOREvoredireConfigurationSetEnabledNotification", false}}));
    } else {
      EXPECT_TRUE(announcements.notifications().empty());
    }
    // Not persisted as the analytics engine's own setting.
    EXPECT_TRUE(platform::UserDefaults::standard()->objectForKey("/videzu/measurement/measurement_enabled_state").isNull());
  }
}

// Deletion

using VDZAppDeleteTest = CoreTest;

TEST_F(VDZAppDeleteTest, DeletingAnAppRemovesItAndItsSwitch) {
  VDZApp::configure();
  VDZApp::configureWithName("second", validOptions());
  auto app = VDZApp::appNamed("second");
  app->setDataCollectionDefaultEnabled(false);
  NotificationRecorder deleted("VDZAppDeleteNotification");

  std::optional<bool> result;
  app->deleteApp([&](bool success) { result = success; });

  EXPECT_EQ(result, true);
  EXPECT_FALSE(VDZApp::appNamed("second"));
  EXPECT_EQ(VDZApp::allApps()->size(), 1u);
  EXPECT_TRUE(VDZApp::defaultApp());
  EXPECT_TRUE(
      platform::UserDefaults::standard()->objectForKey("/videzu/vuduzara/global_data_collection_enabled:second").isNull());
  ASSERT_EQ(deleted.notifications().size(), 1u);
  EXPECT_EQ(deleted.notifications()[0].object, VDZApp::classObject());
  EXPECT_EQ(deleted.notifications()[0].userInfo, (Value::Dictionary{{"VDZAppNameKey", "second"}}));
  EXPECT_TRUE(logged("[I-COR000006] Deleting app named second"));

  // A second deletion finds nothing; the name can be configured again.
  result.reset();
  app->deleteApp([&](bool success) { result = success; });
  EXPECT_EQ(result, false);
  EXPECT_TRUE(logged("[I-COR000007] App does not exist."));
  EXPECT_NO_THROW(VDZApp::configureWithName("second", validOptions()));
}

TEST_F(VDZAppDeleteTest, DeletingTheDefaultAppAllowsConfiguringAgain) {
  VDZApp::configure();
  bool done = false;
  VDZApp::defaultApp()->deleteApp([&](bool success) { done = success; });
  EXPECT_TRUE(done);
  EXPECT_FALSE(VDZApp::isDefaultAppConfigured());
  EXPECT_NO_THROW(VDZApp::configure());
  EXPECT_TRUE(VDZApp::isDefaultAppConfigured());
}

// The analytics engine, started by class name

struct StartCall {
  std::shared_ptr<DOREvoredireConfiguration> configuration;
  std::shared_ptr<VDZOptions> options;
};

using VDZAppAnalyticsStartTest = CoreTest;

TEST_F(VDZAppAnalyticsStartTest, TheEngineIsStartedForTheDefaultAppOnly) {
  std::vector<StartCall> calls;
  platform::runtime::ClassDefinition engine;
  engine.name = "DOREvoredire";
  engine.classMethods.emplace(
      "startWithConfiguration:options:",
      platform::runtime::method(std::function<DOREvoredireStartWithConfiguration>(
          [&](std::shared_ptr<DOREvoredireConfiguration> configuration, std::shared_ptr<VDZOptions> options) {
            calls.push_back({std::move(configuration), std::move(options)});
          })));
  defineClass(std::move(engine));

  VDZApp::configureWithName("second", validOptions());
  EXPECT_TRUE(calls.empty());
  VDZApp::configure();

  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].configuration, VDZConfiguration::sharedInstance().analyticsConfiguration());
  EXPECT_EQ(calls[0].configuration, DOREvoredireConfiguration::sharedInstance());
  ASSERT_TRUE(calls[0].options);
  EXPECT_TRUE(calls[0].options->isEqual(VDZApp::defaultApp()->options()));
  EXPECT_TRUE(calls[0].options->isEditingLocked());
}

TEST_F(VDZAppAnalyticsStartTest, AClassOfThatNameWithoutTheStartMethodIsLeftAlone) {
  platform::runtime::ClassDefinition engine;
  engine.name = "DOREvoredire";
  defineClass(std::move(engine));
  EXPECT_NO_THROW(VDZApp::configure());
  EXPECT_TRUE(VDZApp::defaultApp());
}

// Libraries

struct ConfiguredLibrary {
  static VDZComponentList componentsToRegister() { return {}; }
  static void configureWithApp(std::shared_ptr<VDZApp> app) { configured.push_back(app ? app->name() : "(null)"); }
  static inline std::vector<std::string> configured;
};

using VDZAppLibraryTest = CoreTest;

TEST_F(VDZAppLibraryTest, LibrariesThatAskAreToldOfEachConfiguredApp) {
  ConfiguredLibrary::configured.clear();
  VDZApp::registerInternalLibrary(defineLibrary<ConfiguredLibrary>("FakeConfiguredLibrary"), "fake-configured");
  VDZApp::configure();
  VDZApp::configureWithName("second", validOptions());
  EXPECT_EQ(ConfiguredLibrary::configured, (std::vector<std::string>{"__VDZAPP_DEFAULT", "second"}));
}

TEST_F(VDZAppLibraryTest, AClassThatIsNoLibraryCannotRegister) {
  struct Case {
    const char* className;
    bool adoptsProtocol;
    bool answersComponents;
  };
  const Case cases[] = {{"FakeNoProtocol", false, true}, {"FakeNoComponents", true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.className);
    platform::runtime::ClassDefinition definition;
    definition.name = c.className;
    if (c.adoptsProtocol) definition.protocols.emplace("VDZLibrary");
    if (c.answersComponents) {
      definition.classMethods.emplace("componentsToRegister",
                                      platform::runtime::method([]() -> VDZComponentList { return {}; }));
    }
    const auto cls = defineClass(std::move(definition));
    auto e = raised([&] { VDZApp::registerInternalLibrary(cls, "fake"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name(), "NSInvalidArgumentException");
    EXPECT_EQ(e->reason(), std::string("Class ") + c.className +
                               " attempted to register components, but it does not conform to `VDZLibrary or provide "
                               "a `componentsToRegister:` method.");
  }
  EXPECT_EQ(VDZApp::vuduzaraUserAgent().find("fake/"), std::string::npos);
}

TEST_F(VDZAppLibraryTest, LibraryNamesAndVersionsWithOtherCharactersAreNotRecorded) {
  struct Case {
    const char* name;
    const char* version;
    bool recorded;
  };
  const Case cases[] = {
      {"fake-lib_1.x", "1.2.3-beta_4", true},
      {"fake/lib", "1.0", false},
      {"fake-lib", "1.0 beta", false},
      {"fake lib", "1.0", false},
      // Nothing in an empty text is out of the set.
      {"fake-unversioned", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearLog();
    VDZApp::registerLibrary(c.name, c.version);
    const std::string entry = std::string(c.name) + "/" + c.version;
    EXPECT_EQ(VDZApp::vuduzaraUserAgent().find(entry) != std::string::npos, c.recorded);
    EXPECT_EQ(logged("[I-COR000027] The library name (" + std::string(c.name) + ") or version number (" + c.version +
                     ") contain invalid characters."),
              !c.recorded);
  }
}

// Threads

using VDZAppConcurrencyTest = CoreTest;

TEST_F(VDZAppConcurrencyTest, TheDefaultAppCanBeAskedForWhileAnAppIsBroughtUp) {
  // The ready notification is posted while the bring-up holds the class lock; an observer that
  // waits for work on another thread must not deadlock when that work asks for the default app.
  struct Answers {
    bool configured = false;
    bool found = false;
    bool collectionEnabled = false;
  };
  std::future<Answers> answers;
  std::future_status status = std::future_status::deferred;
  auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      "VDZAppReadyToConfigureSDKNotification", nullptr, nullptr, [&](const platform::Notification&) {
        answers = std::async(std::launch::async, [] {
          Answers a;
          a.configured = VDZApp::isDefaultAppConfigured();
          const auto app = VDZApp::defaultApp();
          a.found = app != nullptr;
          a.collectionEnabled = app && app->isDataCollectionDefaultEnabled();
          return a;
        });
        // A guard against a deadlock, not a wait for time to pass: it returns as soon as the
        // other thread is done.
        status = answers.wait_for(std::chrono::seconds(30));
      });

  VDZApp::configure();

  ASSERT_EQ(status, std::future_status::ready);
  const Answers a = answers.get();
  EXPECT_TRUE(a.configured);
  EXPECT_TRUE(a.found);
  EXPECT_TRUE(a.collectionEnabled);
}

TEST_F(VDZAppConcurrencyTest, ConfiguringOneNameFromManyThreadsMakesOneApp) {
  constexpr int kThreads = 8;
  std::atomic<int> readyNotifications = 0;
  auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      "VDZAppReadyToConfigureSDKNotification", nullptr, nullptr,
      [&](const platform::Notification&) { ++readyNotifications; });

  for (const char* name : {"racer", "__VDZAPP_DEFAULT"}) {
    SCOPED_TRACE(name);
    readyNotifications = 0;
    std::atomic<int> configured = 0, refused = 0;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        try {
          VDZApp::configureWithName(name, validOptions());
          ++configured;
        } catch (const platform::Exception& e) {
          if (e.reason().find("has already been configured.") != std::string::npos) ++refused;
        }
      });
    }
    for (auto& t : threads) t.join();

    EXPECT_EQ(configured, 1);
    EXPECT_EQ(refused, kThreads - 1);
    EXPECT_EQ(readyNotifications, 1);
  }
  EXPECT_EQ(VDZApp::allApps()->size(), 2u);
}

// Becoming active

class FakeDiagnostics {
 public:
  std::vector<Value::Dictionary> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  platform::runtime::ClassDefinition definition() {
    platform::runtime::ClassDefinition d;
    d.name = "VDZCoreDiagnostics";
    d.protocols.emplace("VDZCoreDiagnosticsInterop");
    d.classMethods.emplace("sendDiagnosticsData:",
                           platform::runtime::method([this](std::shared_ptr<VDZCoreDiagnosticsData> data) {
                             auto objects = data->diagnosticObjects();
                             std::lock_guard lock(mutex_);
                             received_.push_back(std::move(objects));
                           }));
    return d;
  }

 private:
  std::mutex mutex_;
  std::vector<Value::Dictionary> received_;
};

using VDZAppActivationTest = CoreTest;

TEST_F(VDZAppActivationTest, EachActivationSendsEveryAppsDiagnosticsWhileCollectionIsOn) {
  FakeDiagnostics diagnostics;
  defineClass(diagnostics.definition());
  VDZApp::configure();
  VDZApp::configureWithName("second", optionsWithAppID("1:99:ios:abc"));
  VDZApp::appNamed("second")->setDataCollectionDefaultEnabled(false);

  platform::NotificationCenter::defaultCenter().post(std::string(platform::kApplicationDidBecomeActiveNotification));
  platform::testing::runUntilIdle();

  const auto received = diagnostics.received();
  ASSERT_EQ(received.size(), 1u);
  const auto& objects = received[0];
  EXPECT_EQ(objects.at("VDZCDVidezuAppIDKey"), Value(core_test::kAppID));
  EXPECT_EQ(objects.at("VDZCDBundleID"), Value(core_test::kBundleID));
  EXPECT_EQ(objects.at("VDZCDConfigurationTypeKey"), Value(1));
  EXPECT_EQ(objects.at("VDZCDIsDataCollectionDefaultEnabledKey"), Value(true));
  EXPECT_EQ(objects.at("VDZCDUsingOptionsFromDefaultPlistKey"), Value(true));
  EXPECT_EQ(objects.at("VDZCDLibraryVersionIDKey"), Value("81500000"));
  EXPECT_EQ(objects.at("VDZCDVuduzaraUserAgentKey"), Value(VDZApp::vuduzaraUserAgent()));
  EXPECT_EQ(objects.at("VDZCDllAppsCountKey").integerValue(), 2);
}

TEST_F(VDZAppActivationTest, WithoutTheDiagnosticsClassActivationSendsNothing) {
  VDZApp::configure();
  platform::NotificationCenter::defaultCenter().post(std::string(platform::kApplicationDidBecomeActiveNotification));
  platform::testing::runUntilIdle();
  EXPECT_FALSE(logged("I-COR000036"));
}

TEST_F(VDZAppActivationTest, ADiagnosticsClassBreakingTheContractIsReportedAndSkipped) {
  platform::runtime::ClassDefinition broken;
  broken.name = "VDZCoreDiagnostics";
  broken.classMethods.emplace("sendDiagnosticsData:",
                              platform::runtime::method([](std::shared_ptr<VDZCoreDiagnosticsData>) {
                                ADD_FAILURE() << "a class without the protocol must not be used";
                              }));
  defineClass(std::move(broken));
  VDZApp::configure();
  platform::NotificationCenter::defaultCenter().post(std::string(platform::kApplicationDidBecomeActiveNotification));
  platform::testing::runUntilIdle();
  EXPECT_TRUE(logged("[I-COR000036] If VDZCoreDiagnostics is implemented, it must conform to the interop protocol."));
}

}  // namespace
