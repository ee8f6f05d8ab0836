#include "sdk/utilities/utilities/vul_swizzler.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/exception.h"
#include "platform/runtime/message.h"

namespace {

using platform::runtime::Arguments;
using platform::runtime::Class;
using platform::runtime::Object;

class Pet : public Object {
 public:
  std::shared_ptr<Object> toy = std::make_shared<Object>();
  std::shared_ptr<Object> bed;
  int age = 3;
};

class VULSwizzlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::runtime::ClassDefinition base;
    base.name = "SWZAnimal";
    base.superclass = platform::runtime::rootClass();
    base.instanceMethods.emplace("sound", platform::runtime::implementation([](Object&) { return std::string("..."); }));
    base.classMethods.emplace("kingdom", platform::runtime::method([] { return std::string("animals"); }));
    animal_ = platform::runtime::registerClass(base);

    platform::runtime::ClassDefinition sub;
    sub.name = "SWZPet";
    sub.superclass = animal_;
    sub.ivars = {{"toy", "@\"NSObject\"", [](const Object& o) { return dynamic_cast<const Pet&>(o).toy; }},
                 {"age", "q", nullptr},
                 {"bed", "@", [](const Object& o) { return dynamic_cast<const Pet&>(o).bed; }}};
    pet_ = platform::runtime::registerClass(sub);
  }
  void TearDown() override {
    platform::runtime::unregisterClass("SWZAnimal");
    platform::runtime::unregisterClass("SWZPet");
  }
  static std::string sound(Object& o) { return platform::runtime::call<std::string>(o, "sound"); }

  std::shared_ptr<const Class> animal_, pet_;
};

TEST_F(VULSwizzlerTest, SwizzlingAnInheritedMethodChangesOnlyTheGivenClass) {
  Pet pet;
  Object animal;
  platform::runtime::setClass(pet, pet_);
  platform::runtime::setClass(animal, animal_);
  auto old = VULSwizzler::currentImplementationForClass(pet_, "sound", false);
  ASSERT_TRUE(old);

  VULSwizzler::swizzleClass(pet_, "sound", false, [old](Object& self, const Arguments& args) -> std::any {
    return std::any_cast<std::string>((*old)(self, args)) + " woof";
  });
  EXPECT_EQ(sound(pet), "... woof");
  EXPECT_EQ(sound(animal), "...");

  auto current = VULSwizzler::currentImplementationForClass(pet_, "sound", false);
  EXPECT_NE(current, old);
  EXPECT_EQ(current, pet_->instanceMethod("sound"));
  EXPECT_EQ(VULSwizzler::currentImplementationForClass(animal_, "sound", false), old);
}

TEST_F(VULSwizzlerTest, ClassSelectorsAreSwizzledOnTheClassWithTheClassAsReceiver) {
  VULSwizzler::swizzleClass(pet_, "kingdom", true, [](Object& self, const Arguments&) -> std::any {
    return "pets of " + dynamic_cast<Class&>(self).name();
  });
  EXPECT_EQ(pet_->call<std::string>("kingdom"), "pets of SWZPet");
  EXPECT_EQ(animal_->call<std::string>("kingdom"), "animals");
}

TEST_F(VULSwizzlerTest, SelectorsExistByKindInheritedOnesIncluded) {
  EXPECT_TRUE(VULSwizzler::selectorExistsInClass("sound", pet_, false));
  EXPECT_TRUE(VULSwizzler::selectorExistsInClass("kingdom", pet_, true));
  EXPECT_FALSE(VULSwizzler::selectorExistsInClass("kingdom", pet_, false));
  EXPECT_FALSE(VULSwizzler::selectorExistsInClass("sound", animal_, true));
  EXPECT_FALSE(VULSwizzler::currentImplementationForClass(pet_, "fly", false));
}

TEST_F(VULSwizzlerTest, BrokenPreconditionsFailAssertions) {
  struct Case {
    const char* label;
    std::function<void()> call;
    const char* reason;
  };
  const Case cases[] = {
      {"missing method", [&] { VULSwizzler::swizzleClass(pet_, "fly", false, {}); },
       "You're attempting to swizzle a method that doesn't exist. (SWZPet, fly)"},
      {"no selector", [&] { VULSwizzler::swizzleClass(pet_, "", false, {}); }, "The selector cannot be NULL"},
      {"no class", [&] { VULSwizzler::currentImplementationForClass(nullptr, "sound", false); },
       "The class cannot be Nil"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      c.call();
      ADD_FAILURE() << "no assertion";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), "NSInternalInconsistencyException");
      EXPECT_EQ(e.reason(), c.reason);
    }
  }
}

TEST_F(VULSwizzlerTest, IvarObjectsAreTheObjectTypedOnesThatHoldSomething) {
  Pet pet;
  platform::runtime::setClass(pet, pet_);
  EXPECT_EQ(VULSwizzler::ivarObjectsForObject(pet), (std::vector<std::shared_ptr<Object>>{pet.toy}));
  pet.bed = std::make_shared<Object>();
  EXPECT_EQ(VULSwizzler::ivarObjectsForObject(pet), (std::vector<std::shared_ptr<Object>>{pet.toy, pet.bed}));
}

}  // namespace
