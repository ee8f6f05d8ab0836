#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/foundation/exception.h"
#include "platform/runtime/associated_objects.h"
#include "platform/runtime/class.h"
#include "platform/runtime/object.h"
#include "platform/runtime/protocol.h"

namespace {

using namespace platform::runtime;

class RuntimeClassTest : public ::testing::Test {
 protected:
  void TearDown() override { unregisterClass("FakeGreeter"); }

  static ClassDefinition greeter() {
    ClassDefinition d;
    d.name = "FakeGreeter";
    d.protocols.emplace("Greeting");
    d.classMethods.emplace("greet:times:", method([](std::string name, int times) {
                             std::string out;
                             for (int i = 0; i < times; ++i) out += "hi " + name + ";";
                             return out;
                           }));
    d.classMethods.emplace("reset", method([] {}));
    return d;
  }
};

TEST_F(RuntimeClassTest, ClassesAreFoundByNameOnceRegistered) {
  EXPECT_FALSE(classNamed("FakeGreeter"));
  const auto cls = registerClass(greeter());
  EXPECT_EQ(classNamed("FakeGreeter"), cls);
  EXPECT_EQ(cls->name(), "FakeGreeter");
  EXPECT_TRUE(cls->conformsToProtocol("Greeting"));
  EXPECT_FALSE(cls->conformsToProtocol("Other"));
  EXPECT_TRUE(cls->respondsToSelector("greet:times:"));
  EXPECT_FALSE(cls->respondsToSelector("greet:"));

  unregisterClass("FakeGreeter");
  EXPECT_FALSE(classNamed("FakeGreeter"));
}

TEST_F(RuntimeClassTest, ASecondClassOfTheSameNameIsRefused) {
  registerClass(greeter());
  try {
    registerClass(greeter());
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "NSInternalInconsistencyException");
  }
}

TEST_F(RuntimeClassTest, ClassMethodsAreSentThroughTheRegistry) {
  const auto cls = registerClass(greeter());
  EXPECT_EQ(cls->call<std::string>("greet:times:", std::string("ana"), 2), "hi ana;hi ana;");
  EXPECT_NO_THROW(cls->call("reset"));

  struct Case {
    const char* label;
    std::function<void()> send;
    const char* reasonStart;
  };
  const Case cases[] = {
      {"unknown selector", [&] { cls->call("wave"); }, "+[FakeGreeter wave]: unrecognized selector sent to class"},
      {"argument of another type", [&] { cls->call<std::string>("greet:times:", "ana", 2); }, "argument 0"},
      {"too few arguments", [&] { cls->call<std::string>("greet:times:", std::string("ana")); }, "method expects 2"},
      {"result of another type", [&] { cls->call<int>("greet:times:", std::string("ana"), 1); },
       "+[FakeGreeter greet:times:] returned"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      c.send();
      ADD_FAILURE() << "no exception";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), "NSInvalidArgumentException");
      EXPECT_EQ(e.reason().rfind(c.reasonStart, 0), 0u) << e.reason();
    }
  }
}

// Protocols and conformance

class Walker : public virtual Object {
 public:
  static constexpr std::string_view kProtocolName = "Walker";
  virtual int steps() const = 0;
};
class Swimmer : public virtual Object {
 public:
  static constexpr std::string_view kProtocolName = "Swimmer";
};
class Duck : public Walker, public Swimmer {
 public:
  int steps() const override { return 2; }
};
class Stone : public Object {};

TEST(RuntimeProtocolTest, ConformanceIsDecidedByTheObjectsType) {
  const Duck duck;
  const Stone stone;
  EXPECT_EQ(Protocol::of<Walker>().name(), "Walker");
  EXPECT_TRUE(Protocol::of<Walker>().isAdoptedBy(duck));
  EXPECT_TRUE(Protocol::of<Swimmer>().isAdoptedBy(duck));
  EXPECT_FALSE(Protocol::of<Walker>().isAdoptedBy(stone));
  EXPECT_EQ(Protocol::of<Walker>(), Protocol("Walker", nullptr));
}

// Associated objects

struct Tracked {
  explicit Tracked(int* released) : released(released) {}
  ~Tracked() { ++*released; }
  int* released;
};

TEST(RuntimeAssociatedObjectsTest, HeldUntilReplacedRemovedOrTheHostGoes) {
  static const char key = 0, otherKey = 0;
  int released = 0;
  auto host = std::make_unique<Stone>();
  setAssociatedObject(*host, &key, std::make_shared<Tracked>(&released));
  setAssociatedObject(*host, &otherKey, std::make_shared<Tracked>(&released));
  EXPECT_TRUE(getAssociatedObject(*host, &key));
  EXPECT_FALSE(getAssociatedObject(Stone(), &key));

  setAssociatedObject(*host, &key, std::make_shared<Tracked>(&released));
  EXPECT_EQ(released, 1);
  setAssociatedObject(*host, &key, nullptr);
  EXPECT_EQ(released, 2);
  EXPECT_FALSE(getAssociatedObject(*host, &key));

  host.reset();
  EXPECT_EQ(released, 3);
}

TEST(RuntimeAssociatedObjectsTest, ACopiedHostStartsWithoutAssociations) {
  static const char key = 0;
  int released = 0;
  Stone original;
  setAssociatedObject(original, &key, std::make_shared<Tracked>(&released));
  const Stone copy(original);
  EXPECT_FALSE(getAssociatedObject(copy, &key));
  EXPECT_TRUE(getAssociatedObject(original, &key));
}

}  // namespace
