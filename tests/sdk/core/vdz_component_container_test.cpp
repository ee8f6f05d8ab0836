#include "sdk/core/core/vdz_component_container.h"

#include <gtest/gtest.h>

#include "core_test_fixture.h"
#include "sdk/core/core/vdz_app_association_registration.h"
#include "sdk/core/core/vdz_options.h"

namespace {

using core_test::CoreTest;
using platform::runtime::Object;
using platform::runtime::Protocol;

// Protocols the fake libraries provide.
class AlphaProvider : public virtual Object {
 public:
  static constexpr std::string_view kProtocolName = "AlphaProvider";
  virtual std::string alpha() const = 0;
};
class BetaProvider : public virtual Object {
 public:
  static constexpr std::string_view kProtocolName = "BetaProvider";
};
class EverywhereProvider : public virtual Object {
 public:
  static constexpr std::string_view kProtocolName = "EverywhereProvider";
};
class DefaultOnlyProvider : public virtual Object {
 public:
  static constexpr std::string_view kProtocolName = "DefaultOnlyProvider";
};
class NobodyProvides : public virtual Object {
 public:
  static constexpr std::string_view kProtocolName = "NobodyProvides";
};

struct Made {
  int alpha = 0, beta = 0, everywhere = 0, defaultOnly = 0;
  std::vector<std::string> deletedApps;
};
Made made;

class Alpha : public AlphaProvider, public VDZComponentLifecycleMaintainer {
 public:
  explicit Alpha(std::string from) : from_(std::move(from)) {}
  std::string alpha() const override { return from_; }
  void appWillBeDeleted(const std::shared_ptr<VDZApp>& app) override {
    made.deletedApps.push_back(app ? app->name() : "(null)");
  }

 private:
  std::string from_;
};
class Beta : public BetaProvider {
 public:
  std::shared_ptr<AlphaProvider> alphaSeenAtCreation;
};
class Everywhere : public EverywhereProvider {};
class DefaultOnly : public DefaultOnlyProvider {};

// Provides alpha (kept), everywhere-eager (kept) and default-only-eager (kept).
struct LibraryOne {
  static VDZComponentList componentsToRegister() {
    return {
        VDZComponent::componentWithProtocol(Protocol::of<AlphaProvider>(),
                                            [](VDZComponentContainer&, bool* cacheable) {
                                              ++made.alpha;
                                              *cacheable = true;
                                              return std::make_shared<Alpha>("one");
                                            }),
        VDZComponent::componentWithProtocol(Protocol::of<EverywhereProvider>(), VDZInstantiationTimingAlwaysEager, {},
                                            [](VDZComponentContainer&, bool* cacheable) {
                                              ++made.everywhere;
                                              *cacheable = true;
                                              return std::make_shared<Everywhere>();
                                            }),
        VDZComponent::componentWithProtocol(
            Protocol::of<DefaultOnlyProvider>(), VDZInstantiationTimingEagerInDefaultApp,
            {VDZDependency::dependencyWithProtocol(Protocol::of<AlphaProvider>())},
            [](VDZComponentContainer&, bool* cacheable) {
              ++made.defaultOnly;
              *cacheable = true;
              return std::make_shared<DefaultOnly>();
            }),
    };
  }
};

// Provides beta (a new one each time, looking up alpha while being made) and a second alpha.
struct LibraryTwo {
  static VDZComponentList componentsToRegister() {
    return {
        VDZComponent::componentWithProtocol(Protocol::of<BetaProvider>(),
                                            [](VDZComponentContainer& container, bool*) {
                                              ++made.beta;
                                              auto beta = std::make_shared<Beta>();
                                              beta->alphaSeenAtCreation =
                                                  VDZComponentType::instanceForProtocol<AlphaProvider>(container);
                                              return beta;
                                            }),
        VDZComponent::componentWithProtocol(Protocol::of<AlphaProvider>(),
                                            [](VDZComponentContainer&, bool* cacheable) {
                                              *cacheable = true;
                                              return std::make_shared<Alpha>("two");
                                            }),
    };
  }
};

class VDZComponentContainerTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    made = Made{};
    VDZApp::registerInternalLibrary(defineLibrary<LibraryOne>("FakeLibraryOne"), "fake-one", "1.0");
    VDZApp::registerInternalLibrary(defineLibrary<LibraryTwo>("FakeLibraryTwo"), "fake-two", "2.0");
  }

  static std::shared_ptr<VDZOptions> options() {
    return VDZOptions::initInternalWithOptionsDictionary(core_test::optionsDictionary());
  }
};

TEST_F(VDZComponentContainerTest, LazyComponentsAreMadeOnFirstLookupAndKeptWhenAllowed) {
  VDZApp::configureWithName("second", options());
  auto& container = VDZApp::appNamed("second")->container();
  EXPECT_EQ(made.alpha, 0);

  const auto alpha = container.instanceForProtocol<AlphaProvider>();
  ASSERT_TRUE(alpha);
  EXPECT_EQ(container.instanceForProtocol<AlphaProvider>(), alpha);
  EXPECT_EQ(made.alpha, 1);

  // Beta's block leaves the flag unset: a new instance on every lookup.
  const auto beta1 = container.instanceForProtocol<BetaProvider>();
  const auto beta2 = container.instanceForProtocol<BetaProvider>();
  ASSERT_TRUE(beta1 && beta2);
  EXPECT_NE(beta1, beta2);
  EXPECT_EQ(made.beta, 2);
}

TEST_F(VDZComponentContainerTest, EagerComponentsAreMadeAtConfigurationByTheirTiming) {
  struct Case {
    const char* app;
    int everywhere;
    int defaultOnly;
  };
  const Case cases[] = {{"__VDZAPP_DEFAULT", 1, 1}, {"second", 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.app);
    made = Made{};
    VDZApp::configureWithName(c.app, options());
    EXPECT_EQ(made.everywhere, c.everywhere);
    EXPECT_EQ(made.defaultOnly, c.defaultOnly);
    EXPECT_EQ(made.alpha, 0);

    // Kept instances are not made again; the default-only one comes on first lookup elsewhere.
    auto& container = VDZApp::appNamed(c.app)->container();
    EXPECT_TRUE(container.instanceForProtocol<EverywhereProvider>());
    EXPECT_TRUE(container.instanceForProtocol<DefaultOnlyProvider>());
    EXPECT_EQ(made.everywhere, 1);
    EXPECT_EQ(made.defaultOnly, 1);
  }
}

TEST_F(VDZComponentContainerTest, TheFirstRegisteredProviderOfAProtocolWins) {
  VDZApp::configure();
  VDZApp::configureWithName("second", options());
  EXPECT_EQ(VDZApp::defaultApp()->container().instanceForProtocol<AlphaProvider>()->alpha(), "one");
  EXPECT_EQ(countLogged("[I-COR000029] Attempted to register protocol AlphaProvider, but it already has an "
                        "implementation."),
            2u);  // once per container
}

TEST_F(VDZComponentContainerTest, ACreationBlockMayLookUpOtherProtocolsOfTheSameContainer) {
  VDZApp::configure();
  auto& container = VDZApp::defaultApp()->container();
  const auto beta = std::dynamic_pointer_cast<Beta>(container.instanceForProtocol<BetaProvider>());
  ASSERT_TRUE(beta);
  EXPECT_EQ(beta->alphaSeenAtCreation, container.instanceForProtocol<AlphaProvider>());
}

TEST_F(VDZComponentContainerTest, AProtocolNobodyProvidesGivesNothingQuietly) {
  VDZApp::configure();
  clearLog();
  EXPECT_FALSE(VDZApp::defaultApp()->container().instanceForProtocol<NobodyProvides>());
  EXPECT_FALSE(logged("[Vuduzara/Core]"));
}

TEST_F(VDZComponentContainerTest, DeletingTheAppTellsKeptInstancesAndForgetsComponents) {
  VDZApp::configureWithName("second", options());
  auto app = VDZApp::appNamed("second");
  ASSERT_TRUE(app->container().instanceForProtocol<AlphaProvider>());

  app->deleteApp(nullptr);
  EXPECT_EQ(made.deletedApps, std::vector<std::string>{"second"});
  EXPECT_FALSE(app->container().instanceForProtocol<AlphaProvider>());
  EXPECT_FALSE(app->container().instanceForProtocol<BetaProvider>());
}

// A library whose block hands out an object of another protocol.
struct MismatchedLibrary {
  static VDZComponentList componentsToRegister() {
    return {VDZComponent::componentWithProtocol(Protocol::of<NobodyProvides>(), [](VDZComponentContainer&, bool*) {
      return std::make_shared<Everywhere>();
    })};
  }
};

TEST_F(VDZComponentContainerTest, AnInstanceOfAnotherProtocolIsHandedOutWithAComplaint) {
  VDZComponentContainer::Registrants registrants;
  VDZComponentContainer::registerAsComponentRegistrant(defineLibrary<MismatchedLibrary>("FakeMismatched"), registrants);
  VDZComponentContainer container({}, registrants);

  EXPECT_TRUE(container.instanceForProtocol(Protocol::of<NobodyProvides>()));
  EXPECT_FALSE(container.instanceForProtocol<NobodyProvides>());
  EXPECT_TRUE(logged("[I-COR000030] An instance conforming to NobodyProvides was requested, but the instance "
                     "provided does not conform to the protocol"));
}

TEST_F(VDZComponentContainerTest, ARegistrantIsListedOnceInRegistrationOrder) {
  const auto registrants = VDZComponentContainer::registrants();
  ASSERT_EQ(registrants.size(), 2u);
  VDZComponentContainer::registerAsComponentRegistrant(registrants[0]);
  const auto again = VDZComponentContainer::registrants();
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0]->name(), "FakeLibraryOne");
  EXPECT_EQ(again[1]->name(), "FakeLibraryTwo");
}

// Association registration

class Host : public Object {};
class Registered : public Object {};

TEST(VDZAppAssociationRegistrationTest, OneObjectPerHostAndKey) {
  Host host, other;
  int made = 0;
  const std::function<std::shared_ptr<Registered>()> make = [&] {
    ++made;
    return std::make_shared<Registered>();
  };
  const auto a = VDZAppAssociationRegistration::registeredObjectWithHost<Registered>(host, "key", make);
  EXPECT_EQ(VDZAppAssociationRegistration::registeredObjectWithHost<Registered>(host, "key", make), a);
  EXPECT_NE(VDZAppAssociationRegistration::registeredObjectWithHost<Registered>(host, "other", make), a);
  EXPECT_NE(VDZAppAssociationRegistration::registeredObjectWithHost<Registered>(other, "key", make), a);
  EXPECT_EQ(made, 3);

  // A block that gives nothing registers nothing: the next request tries again.
  EXPECT_FALSE(VDZAppAssociationRegistration::registeredObjectWithHost(host, "empty", [] { return nullptr; }));
  EXPECT_TRUE(VDZAppAssociationRegistration::registeredObjectWithHost<Registered>(host, "empty", make));
}

TEST(VDZAppAssociationRegistrationTest, AskingAgainFromInsideTheCreationBlockRaises) {
  Host host;
  std::optional<platform::Exception> inner;
  const auto outer = VDZAppAssociationRegistration::registeredObjectWithHost(host, "key", [&] {
    inner = core_test::raised([&] {
      VDZAppAssociationRegistration::registeredObjectWithHost(host, "key",
                                                              [] { return std::make_shared<Registered>(); });
    });
    return std::make_shared<Registered>();
  });
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->name(), "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
  EXPECT_NE(inner->reason().find(" key: key"), std::string::npos);
  EXPECT_EQ(VDZAppAssociationRegistration::registeredObjectWithHost(host, "key", [] { return nullptr; }), outer);
}

TEST(VDZAppAssociationRegistrationTest, ACreationBlockThatRaisesLeavesTheKeyFree) {
  Host host;
  EXPECT_THROW(VDZAppAssociationRegistration::registeredObjectWithHost(
                   host, "key", []() -> std::shared_ptr<Object> { throw platform::Exception("Failed", "no object"); }),
               platform::Exception);
  // Not mistaken for a creation still in progress.
  std::shared_ptr<Object> second;
  EXPECT_NO_THROW(second = VDZAppAssociationRegistration::registeredObjectWithHost(
                      host, "key", [] { return std::make_shared<Registered>(); }));
  EXPECT_TRUE(second);
}

}  // namespace
