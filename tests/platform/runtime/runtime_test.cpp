#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/runtime/associated_objects.h"
#include "platform/runtime/class.h"
#include "platform/runtime/message.h"
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

// Instance methods and classes changed at run time

struct Counter : Object {
  int value = 0;
};

class RuntimeInstanceMethodTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClassDefinition d;
    d.name = "FakeCounter";
    d.superclass = rootClass();
    d.instanceSize = sizeof(Counter);
    d.instanceMethods.emplace("add:", implementation([](Counter& self, int n) { return self.value += n; }));
    d.instanceMethods.emplace("addTo:", implementation([](Counter&, int& target) { ++target; }));
    counter_ = registerClass(d);
    setClass(object_, counter_);
  }
  void TearDown() override {
    unregisterClass("FakeCounter");
    unregisterClass("FakeCounterSub");
  }
  std::shared_ptr<const Class> counter_;
  Counter object_;
};

TEST_F(RuntimeInstanceMethodTest, MessagesGoThroughTheObjectsClass) {
  EXPECT_EQ(call<int>(object_, "add:", 2), 2);
  int target = 5;
  call(object_, "addTo:", std::ref(target));
  EXPECT_EQ(target, 6);
  EXPECT_TRUE(respondsToSelector(object_, "description"));
  EXPECT_FALSE(respondsToSelector(object_, "sub:"));
  EXPECT_EQ(describe(object_), platform::format("<FakeCounter: %p>", identity(object_)));

  try {
    call(object_, "sub:", 1);
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.reason().rfind("-[FakeCounter sub:]: unrecognized selector sent to instance", 0), 0u) << e.reason();
  }
  EXPECT_THROW(call(object_, "addTo:", 1), platform::Exception);  // a reference parameter needs std::ref
  Object stranger;
  setClass(stranger, counter_);
  EXPECT_THROW(call(stranger, "add:", 1), platform::Exception);  // a receiver of another type
}

TEST_F(RuntimeInstanceMethodTest, ASubclassMadeAtRunTimeOverridesWithoutTouchingItsSuperclass) {
  auto sub = allocateClassPair(counter_, "FakeCounterSub", 0);
  ASSERT_TRUE(sub);
  EXPECT_FALSE(allocateClassPair(counter_, "FakeCounter", 0));
  EXPECT_EQ(sub->instanceSize(), counter_->instanceSize());
  IMP original = counter_->instanceMethod("add:");
  EXPECT_TRUE(sub->addInstanceMethod("add:", implementation([original](Counter& self, int n) {
    return std::any_cast<int>((*original)(self, {n * 10}));
  })));
  EXPECT_FALSE(sub->addInstanceMethod("add:", original));
  EXPECT_FALSE(classNamed("FakeCounterSub"));
  EXPECT_TRUE(registerClassPair(sub));
  EXPECT_EQ(classNamed("FakeCounterSub"), sub);

  Counter other;
  setClass(other, counter_);
  EXPECT_EQ(setClass(object_, sub), counter_);
  EXPECT_EQ(call<int>(object_, "add:", 1), 10);
  EXPECT_EQ(call<int>(other, "add:", 1), 1);
  EXPECT_TRUE(sub->isSubclassOf(*counter_));

  // Replacing answers the entry it replaced.
  IMP added = sub->instanceMethod("add:");
  EXPECT_EQ(sub->replaceInstanceMethod("add:", original), added);
  EXPECT_EQ(call<int>(object_, "add:", 1), 11);
}

TEST_F(RuntimeInstanceMethodTest, AnObjectsClassIsForgottenWithIt) {
  auto temporary = std::make_unique<Counter>();
  setClass(*temporary, counter_);
  const Object* address = temporary.get();
  temporary.reset();
  auto reused = std::make_unique<Counter>();
  if (reused.get() == address) {
    EXPECT_FALSE(getClass(*reused));
  }
  EXPECT_FALSE(getClass(Counter()));
}

// Methods replaced on one thread while others send them and change objects' classes.
TEST_F(RuntimeInstanceMethodTest, StressSendingWhileMethodsAndClassesChange) {
  auto sub = allocateClassPair(counter_, "FakeCounterSub", 0);
  registerClassPair(sub);
  std::atomic<bool> stop{false};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&] {
      Counter own;
      setClass(own, counter_);
      for (int i = 0; i < 2000; ++i) {
        setClass(own, i % 2 ? sub : counter_);
        call<int>(own, "add:", 1);
        (void)respondsToSelector(own, "add:");
      }
    });
  }
  std::thread swizzler([&] {
    for (int i = 0; !stop; ++i) {
      sub->replaceInstanceMethod("add:", implementation([i](Counter& self, int n) { return self.value += n + i; }));
    }
  });
  for (auto& s : senders) s.join();
  stop = true;
  swizzler.join();
  SUCCEED();
}

}  // namespace
