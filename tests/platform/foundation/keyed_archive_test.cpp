#include "platform/foundation/keyed_archive.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/foundation/property_list.h"
#include "tests/platform/foundation/same_kinds.h"

namespace platform {
namespace {

using platform::testing::sameKinds;

class TestClock final : public Codable {
 public:
  std::int64_t timeMillis = 0;
  std::int64_t offsetSeconds = 0;
  std::int64_t neverWritten = -1;

  std::string className() const override { return "TestClock"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeInt64(timeMillis, "TestClockTimeMillis");
    coder.encodeInt64(offsetSeconds, "TestClockOffset");
  }
  static std::shared_ptr<TestClock> initWithCoder(KeyedUnarchiver& coder) {
    auto clock = std::make_shared<TestClock>();
    clock->timeMillis = coder.decodeInt64ForKey("TestClockTimeMillis");
    clock->offsetSeconds = coder.decodeInt64ForKey("TestClockOffset");
    clock->neverWritten = coder.decodeInt64ForKey("TestClockNeverWritten");
    return clock;
  }
};

class TestEvent : public Codable {
 public:
  std::string eventID = "E1";
  std::int64_t target = 1001;
  std::int32_t tier = 3;
  bool flag = true;
  double score = 0.125;
  std::optional<Data> payload = Data{1, 2, 3};
  Date expiration = Date::fromTimeIntervalSince1970(1'780'604'800.5);
  std::shared_ptr<TestClock> clock = std::make_shared<TestClock>();
  std::shared_ptr<TestClock> sameClock;
  Value extra;
  std::int64_t dollar = 0;

  std::string className() const override { return "TestEvent"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeObject(Value(eventID), "eventID");
    coder.encodeInteger(target, "target");
    coder.encodeInt32(tier, "tier");
    coder.encodeBool(flag, "flag");
    coder.encodeDouble(score, "score");
    if (payload) coder.encodeObject(Value(*payload), "payload");
    coder.encodeObject(Value(expiration), "expiration");
    coder.encodeObject(clock, "clock");
    coder.encodeObject(sameClock, "sameClock");
    coder.encodeObject(extra, "extra");
    coder.encodeInt64(dollar, "$class");
  }
  static std::shared_ptr<TestEvent> initWithCoder(KeyedUnarchiver& coder) {
    auto event = std::make_shared<TestEvent>();
    event->payload = coder.decodeDataForKey("payload");
    // An event without its payload is not an event.
    if (!event->payload) return nullptr;
    event->eventID = coder.decodeStringForKey("eventID").value_or("");
    event->target = coder.decodeIntegerForKey("target");
    event->tier = coder.decodeInt32ForKey("tier");
    event->flag = coder.decodeBoolForKey("flag");
    event->score = coder.decodeDoubleForKey("score");
    event->expiration = coder.decodeDateForKey("expiration").value_or(Date());
    event->clock = coder.decodeObjectOfClass<TestClock>("TestClock", "clock");
    event->sameClock = coder.decodeObjectOfClass<TestClock>("TestClock", "sameClock");
    event->extra = coder
                       .decodeObjectOfClasses({"NSDictionary", "NSArray", "NSString", "NSNumber", "NSData", "NSNull"},
                                              "extra")
                       .value();
    event->dollar = coder.decodeInt64ForKey("$class");
    return event;
  }
};

class TestSubEvent final : public TestEvent {
 public:
  std::string className() const override { return "TestSubEvent"; }
  static std::shared_ptr<TestSubEvent> initWithCoder(KeyedUnarchiver& coder) {
    auto base = TestEvent::initWithCoder(coder);
    if (!base) return nullptr;
    auto sub = std::make_shared<TestSubEvent>();
    static_cast<TestEvent&>(*sub) = *base;
    return sub;
  }
};

// Written under a name of its own; read back under the registered "TestToken" by mapping.
class TestToken final : public Codable {
 public:
  explicit TestToken(std::string archivedName = "TestToken") : archivedName_(std::move(archivedName)) {}
  std::string token;
  std::string className() const override { return archivedName_; }
  void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeObject(Value(token), "token"); }
  static std::shared_ptr<TestToken> initWithCoder(KeyedUnarchiver& coder) {
    auto t = std::make_shared<TestToken>();
    t->token = coder.decodeStringForKey("token").value_or("");
    return t;
  }

 private:
  std::string archivedName_;
};

class Insecure final : public Codable {
 public:
  std::string className() const override { return "TestInsecure"; }
  void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeInt(1, "one"); }
};

// Holds itself through a member; archiving it must stop instead of recursing forever.
class SelfHolder final : public Codable {
 public:
  std::shared_ptr<const Codable> self;
  std::string className() const override { return "TestSelfHolder"; }
  void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeObject(self, "self"); }
};

class KeyedArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CodableClasses::registerClass<TestClock>("TestClock");
    CodableClasses::registerClass<TestEvent>("TestEvent");
    CodableClasses::registerClass<TestSubEvent>("TestSubEvent", {"TestEvent"});
    CodableClasses::registerClass<TestToken>("TestToken");
    CodableClasses::registerClass(CodableClass{
        "TestInsecure", {}, [](KeyedUnarchiver&) -> std::shared_ptr<Codable> { return std::make_shared<Insecure>(); },
        false});
    CodableClasses::registerClass(CodableClass{"TestRaising", {}, [](KeyedUnarchiver&) -> std::shared_ptr<Codable> {
                                                 throw Exception(std::string(kInternalInconsistencyException), "boom");
                                               }});
  }

  static Data archive(const std::shared_ptr<const Codable>& root) {
    Error error;
    auto data = KeyedArchiver::archivedDataWithRootObject(root, true, &error);
    EXPECT_TRUE(data) << error.description();
    return data.value_or(Data{});
  }

  static Data archive(const Value& root) {
    Error error;
    auto data = KeyedArchiver::archivedDataWithRootObject(root, true, &error);
    EXPECT_TRUE(data) << error.description();
    return data.value_or(Data{});
  }
};

const ClassSet kPlainClasses{"NSDictionary", "NSArray", "NSString", "NSNumber", "NSData", "NSDate", "NSNull"};

TEST_F(KeyedArchiveTest, CodableObjectGraphRoundTrips) {
  auto event = std::make_shared<TestEvent>();
  event->clock->timeMillis = 1'780'000'000'123;
  event->clock->offsetSeconds = -18000;
  event->sameClock = event->clock;
  event->extra = Value::dictionary({{"network", Value(Data{9})}, {"codes", Value::array({1, Value()})}});
  event->dollar = 7;

  Error error;
  auto back = KeyedUnarchiver::unarchivedObjectOfClass("TestEvent", archive(event), &error).as<TestEvent>();
  ASSERT_TRUE(back) << error.description();
  EXPECT_FALSE(error);
  EXPECT_EQ(back->eventID, "E1");
  EXPECT_EQ(back->target, 1001);
  EXPECT_EQ(back->tier, 3);
  EXPECT_TRUE(back->flag);
  EXPECT_EQ(back->score, 0.125);
  EXPECT_EQ(back->payload, (Data{1, 2, 3}));
  EXPECT_EQ(back->expiration, event->expiration);
  ASSERT_TRUE(back->clock);
  EXPECT_EQ(back->clock->timeMillis, 1'780'000'000'123);
  EXPECT_EQ(back->clock->offsetSeconds, -18000);
  EXPECT_EQ(back->clock->neverWritten, 0);  // a missing integer key decodes as 0
  EXPECT_EQ(back->sameClock, back->clock);   // one object, archived once, decoded once
  EXPECT_TRUE(sameKinds(event->extra, back->extra));
  EXPECT_EQ(back->dollar, 7);
}

// Services register their classes while other threads already decode.
TEST_F(KeyedArchiveTest, ClassesRegisterWhileOtherThreadsDecode) {
  auto clock = std::make_shared<TestClock>();
  clock->timeMillis = 42;
  const Data data = archive(clock);
  std::vector<std::thread> threads;
  threads.emplace_back([] {
    for (int i = 0; i < 200; ++i) {
      CodableClasses::registerClass<TestClock>("TestLateClock" + std::to_string(i));
    }
  });
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&data] {
      for (int i = 0; i < 200; ++i) {
        Error error;
        auto back = KeyedUnarchiver::unarchivedObjectOfClass("TestClock", data, &error).as<TestClock>();
        ASSERT_TRUE(back) << error.description();
        EXPECT_EQ(back->timeMillis, 42);
        CodableClasses::find("TestLateClock" + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < 200; ++i) EXPECT_TRUE(CodableClasses::find("TestLateClock" + std::to_string(i)));
}

TEST_F(KeyedArchiveTest, ArchiveHasThePlatformLayout) {
  auto event = std::make_shared<TestEvent>();
  event->extra = Value::dictionary({{"k", "v"}});
  PropertyList::Format format = PropertyList::Format::XML;
  auto plist = PropertyList::read(archive(event), nullptr, &format);
  ASSERT_TRUE(plist);
  EXPECT_EQ(format, PropertyList::Format::Binary);
  EXPECT_EQ((*plist)["$archiver"], Value("NSKeyedArchiver"));
  EXPECT_EQ((*plist)["$version"], Value(100000));
  EXPECT_EQ((*plist)["$top"], Value::dictionary({{"root", Value::dictionary({{std::string(PropertyList::kUIDKey), 1}})}}));
  const Value& objects = (*plist)["$objects"];
  EXPECT_EQ(objects.at(0), Value("$null"));

  const Value& root = objects.at(1);
  EXPECT_TRUE(root.contains("$class"));
  EXPECT_EQ(root["$$class"], Value(0));  // the object's own "$class" key, escaped
  EXPECT_EQ(root["target"], Value(1001));
  EXPECT_EQ(root["flag"], Value(true));

  auto objectAt = [&](const Value& ref) -> const Value& {
    return objects.at(static_cast<std::size_t>(ref[PropertyList::kUIDKey].integerValue()));
  };
  EXPECT_EQ(objectAt(root["eventID"]), Value("E1"));
  EXPECT_EQ(objectAt(root["payload"]), Value(Data{1, 2, 3}));
  const Value& date = objectAt(root["expiration"]);
  EXPECT_EQ(date["NS.time"], Value(event->expiration.timeIntervalSinceReferenceDate()));
  EXPECT_EQ(objectAt(date["$class"]),
            Value::dictionary({{"$classname", "NSDate"}, {"$classes", Value::array({"NSDate", "NSObject"})}}));
  const Value& dictionary = objectAt(root["extra"]);
  EXPECT_EQ(objectAt(dictionary["NS.keys"].at(0)), Value("k"));
  EXPECT_EQ(objectAt(dictionary["NS.objects"].at(0)), Value("v"));
  EXPECT_EQ(objectAt(dictionary["$class"])["$classname"], Value("NSDictionary"));
  EXPECT_EQ(objectAt(root["$class"]),
            Value::dictionary({{"$classname", "TestEvent"}, {"$classes", Value::array({"TestEvent", "NSObject"})}}));
}

TEST_F(KeyedArchiveTest, EveryPlainValueKindRoundTrips) {
  const Value value = Value::dictionary({
      {"bool", true},
      {"int", Value(std::numeric_limits<long long>::min())},
      {"unsigned", Value(std::numeric_limits<unsigned long long>::max())},
      {"double", 0.1},
      {"whole double", 2.0},
      {"string", "\u00E9\U0001F600"},
      {"data", Value(Data{0, 255})},
      {"date", Date::fromTimeIntervalSince1970(1'780'000'000.123456)},
      {"far date", Date::fromTimeIntervalSince1970(64'092'211'200)},
      {"array", Value::array({1, Value(), "x", Value::array({})})},
      {"nested", Value::dictionary({{"inner", Value::dictionary({})}})},
  });
  for (const ClassSet& classes : {kPlainClasses, ClassSet{"NSObject"}}) {
    Error error;
    auto back = KeyedUnarchiver::unarchivedObjectOfClasses(classes, archive(value), &error);
    ASSERT_FALSE(back.isNil()) << error.description();
    EXPECT_TRUE(sameKinds(value, back.value()));
  }
  for (const Value& scalar : {Value("s"), Value(5), Value(Data{}), Value(Date())}) {
    Error error;
    auto back = KeyedUnarchiver::unarchivedObjectOfClasses(kPlainClasses, archive(scalar), &error);
    EXPECT_TRUE(sameKinds(scalar, back.value())) << error.description();
  }
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClasses(kPlainClasses, archive(Value()), nullptr).isNil());
}

// The same archive in the XML form, as the library's converter writes it: references become
// {"CF$UID": n} dictionaries.
Data asXML(const Data& binary) {
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(binary.data()), static_cast<std::uint32_t>(binary.size()), &root);
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  Data out(xml, xml + length);
  plist_to_xml_free(xml);
  plist_free(root);
  return out;
}

TEST_F(KeyedArchiveTest, XMLFormArchivesReadLikeTheBinaryForm) {
  const Value value = Value::dictionary({
      {"string", "s"},
      {"array", Value::array({1, Value(), "x"})},
      {"nested", Value::dictionary({{"inner", 2.5}})},
      {"date", Date::fromTimeIntervalSince1970(1'780'000'000.5)},
  });
  const Data xml = asXML(archive(value));
  ASSERT_NE(std::string(xml.begin(), xml.end()).find("CF$UID"), std::string::npos);
  Error error;
  auto back = KeyedUnarchiver::unarchivedObjectOfClasses(kPlainClasses, xml, &error);
  ASSERT_FALSE(back.isNil()) << error.description();
  EXPECT_TRUE(sameKinds(value, back.value()));

  auto event = std::make_shared<TestEvent>();
  event->clock->timeMillis = 1234;
  event->sameClock = event->clock;
  Error objectError;
  auto read = KeyedUnarchiver::unarchivedObjectOfClass("TestEvent", asXML(archive(event)), &objectError).as<TestEvent>();
  ASSERT_TRUE(read) << objectError.description();
  EXPECT_EQ(read->clock->timeMillis, 1234);
  EXPECT_EQ(read->sameClock, read->clock);
}

TEST_F(KeyedArchiveTest, HeartbeatDictionaryNeedsEveryClassItHolds) {
  const Value heartbeats = Value::dictionary({{"fire-global", Date::fromTimeIntervalSince1970(1'780'000'000)},
                                              {"fire-iid", Date::fromTimeIntervalSince1970(1'779'000'000)}});
  const Data data = archive(heartbeats);
  Error error;
  auto back = KeyedUnarchiver::unarchivedObjectOfClasses({"NSDictionary", "NSDate", "NSString"}, data, &error);
  EXPECT_TRUE(sameKinds(heartbeats, back.value())) << error.description();

  // The keys are strings: without NSString the dictionary cannot be read.
  back = KeyedUnarchiver::unarchivedObjectOfClasses({"NSDictionary", "NSDate"}, data, &error);
  EXPECT_TRUE(back.isNil());
  EXPECT_EQ(error.code(), kCoderReadCorruptError);
  EXPECT_NE(error.description().find("NSString"), std::string::npos) << error.description();
}

TEST_F(KeyedArchiveTest, ClassesOutsideTheAllowedSetAreRefused) {
  auto event = std::make_shared<TestEvent>();
  auto withDate = std::make_shared<TestEvent>();
  withDate->extra = Value::array({Date()});  // the event allows no dates in "extra"
  const struct {
    const char* name;
    Data data;
    ClassSet classes;
  } cases[] = {
      {"object where a dictionary is expected", archive(event), {"NSDictionary"}},
      {"object of another registered class", archive(event), {"TestClock"}},
      {"string where a dictionary is expected", archive(Value("x")), {"NSDictionary"}},
      {"number where a string is expected", archive(Value(1)), {"NSString"}},
      {"nested value the object does not allow", archive(withDate), {"TestEvent"}},
      {"a subclass does not admit its superclass", archive(event), {"TestSubEvent"}},
  };
  for (const auto& c : cases) {
    Error error;
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClasses(c.classes, c.data, &error).isNil()) << c.name;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << c.name;
    EXPECT_EQ(error.code(), kCoderReadCorruptError) << c.name;
  }
}

TEST_F(KeyedArchiveTest, AllowingAClassAdmitsItsSubclasses) {
  auto sub = std::make_shared<TestSubEvent>();
  sub->eventID = "sub";
  Error error;
  auto back = KeyedUnarchiver::unarchivedObjectOfClass("TestEvent", archive(sub), &error);
  ASSERT_TRUE(back.as<TestSubEvent>()) << error.description();
  EXPECT_EQ(back.as<TestSubEvent>()->eventID, "sub");
}

TEST_F(KeyedArchiveTest, InitWithCoderReturningNilGivesNilWithoutError) {
  auto event = std::make_shared<TestEvent>();
  event->payload.reset();
  Error error;
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass("TestEvent", archive(event), &error).isNil());
  EXPECT_FALSE(error);
}

TEST_F(KeyedArchiveTest, ArchivedClassNamesCanBeMappedToRegisteredClasses) {
  auto legacy = std::make_shared<TestToken>("LegacyTokenInfo");
  legacy->token = "abc";
  const Data data = archive(legacy);

  Error error;
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass("TestToken", data, &error).isNil());
  EXPECT_NE(error.description().find("LegacyTokenInfo"), std::string::npos) << error.description();

  auto unarchiver = KeyedUnarchiver::forReadingFromData(data, &error);
  ASSERT_TRUE(unarchiver);
  unarchiver->setClassForClassName("TestToken", "LegacyTokenInfo");
  auto token = unarchiver->decodeObjectOfClass<TestToken>("TestToken", kKeyedArchiveRootObjectKey);
  ASSERT_TRUE(token) << unarchiver->error().description();
  EXPECT_EQ(token->token, "abc");
}

TEST_F(KeyedArchiveTest, SecureCodingIsEnforcedBothWays) {
  auto insecure = std::make_shared<Insecure>();
  Error error;
  EXPECT_EQ(KeyedArchiver::archivedDataWithRootObject(insecure, true, &error), std::nullopt);
  EXPECT_EQ(error.code(), kCoderInvalidValueError);

  auto data = KeyedArchiver::archivedDataWithRootObject(insecure, false, &error);
  ASSERT_TRUE(data);
  EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass("TestInsecure", *data, &error).isNil());
  EXPECT_EQ(error.code(), kCoderReadCorruptError);

  auto unarchiver = KeyedUnarchiver::forReadingFromData(*data, &error);
  ASSERT_TRUE(unarchiver);
  EXPECT_TRUE(unarchiver->decodeObjectForKey(kKeyedArchiveRootObjectKey).isNil());
  EXPECT_TRUE(unarchiver->error());  // naming no classes needs secure coding off

  unarchiver = KeyedUnarchiver::forReadingFromData(*data, &error);
  unarchiver->setRequiresSecureCoding(false);
  EXPECT_TRUE(unarchiver->decodeObjectForKey(kKeyedArchiveRootObjectKey).as<Insecure>());
}

TEST_F(KeyedArchiveTest, ArchivingMisuseGivesAnError) {
  auto holder = std::make_shared<SelfHolder>();
  holder->self = holder;
  struct {
    const char* name;
    std::function<std::optional<Data>(Error*)> archive;
  } cases[] = {
      {"object containing itself",
       [&](Error* e) { return KeyedArchiver::archivedDataWithRootObject(holder, true, e); }},
      {"string with NUL",
       [](Error* e) { return KeyedArchiver::archivedDataWithRootObject(Value(std::string("a\0b", 3)), true, e); }},
      {"key with invalid UTF-8",
       [](Error* e) {
         return KeyedArchiver::archivedDataWithRootObject(Value::dictionary({{"\xC3", 1}}), true, e);
       }},
  };
  for (const auto& c : cases) {
    Error error;
    EXPECT_EQ(c.archive(&error), std::nullopt) << c.name;
    EXPECT_EQ(error.code(), kCoderInvalidValueError) << c.name;
  }
  holder->self.reset();
}

TEST_F(KeyedArchiveTest, SharedContainersDecodeOnce) {
  // 40 arrays, each holding the next twice: 2^40 paths, but only 40 distinct objects.
  KeyedArchiver archiver;
  Value level = Value::array({1});
  for (int i = 0; i < 40; ++i) level = Value::array({level, level});
  archiver.encodeObject(level, kKeyedArchiveRootObjectKey);
  const Data data = archiver.encodedData();
  Error error;
  auto back = KeyedUnarchiver::unarchivedObjectOfClasses({"NSArray", "NSNumber"}, data, &error);
  ASSERT_FALSE(back.isNil()) << error.description();
  const Value* v = &back.value();
  int depth = 0;
  while (v->count() == 2) {
    v = &v->at(1);
    ++depth;
  }
  EXPECT_EQ(depth, 40);
}

// Archives assembled with libplist for shapes the archiver never writes.
class Crafted {
 public:
  Crafted() : objects_(plist_new_array()) { plist_array_append_item(objects_, plist_new_string("$null")); }
  ~Crafted() { plist_free(objects_); }

  std::uint64_t add(plist_t node) {
    plist_array_append_item(objects_, node);
    return plist_array_get_size(objects_) - 1;
  }
  std::uint64_t classEntry(const char* name) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "$classname", plist_new_string(name));
    plist_t chain = plist_new_array();
    plist_array_append_item(chain, plist_new_string(name));
    plist_array_append_item(chain, plist_new_string("NSObject"));
    plist_dict_set_item(entry, "$classes", chain);
    return add(entry);
  }
  static plist_t refs(std::initializer_list<std::uint64_t> uids) {
    plist_t a = plist_new_array();
    for (auto u : uids) plist_array_append_item(a, plist_new_uid(u));
    return a;
  }
  static plist_t object(std::uint64_t classUID, std::initializer_list<std::pair<const char*, plist_t>> entries) {
    plist_t d = plist_new_dict();
    if (classUID) plist_dict_set_item(d, "$class", plist_new_uid(classUID));
    for (auto& [k, v] : entries) plist_dict_set_item(d, k, v);
    return d;
  }
  // Placeholder now, filled once later objects exist.
  void replace(std::uint64_t uid, plist_t node) { plist_array_set_item(objects_, node, static_cast<std::uint32_t>(uid)); }

  Data data(plist_t rootValue, bool withTop = true) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(root, "$version", plist_new_uint(100000));
    if (withTop) {
      plist_t top = plist_new_dict();
      plist_dict_set_item(top, "root", rootValue);
      plist_dict_set_item(root, "$top", top);
    } else {
      plist_free(rootValue);
    }
    plist_dict_set_item(root, "$objects", plist_copy(objects_));
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &out, &length);
    Data d(reinterpret_cast<std::uint8_t*>(out), reinterpret_cast<std::uint8_t*>(out) + length);
    plist_to_bin_free(out);
    plist_free(root);
    return d;
  }

 private:
  plist_t objects_;
};

TEST_F(KeyedArchiveTest, MutableCollectionClassesReadAsTheirImmutableKinds) {
  Crafted c;
  const auto arrayClass = c.classEntry("NSMutableArray");
  const auto dictionaryClass = c.classEntry("NSMutableDictionary");
  const auto one = c.add(plist_new_uint(1));
  const auto key = c.add(plist_new_string("k"));
  const auto array = c.add(Crafted::object(arrayClass, {{"NS.objects", Crafted::refs({one})}}));
  const auto dictionary = c.add(Crafted::object(dictionaryClass, {{"NS.keys", Crafted::refs({key})},
                                                                  {"NS.objects", Crafted::refs({array})}}));
  Error error;
  auto back = KeyedUnarchiver::unarchivedObjectOfClasses({"NSDictionary", "NSArray", "NSString", "NSNumber"},
                                                         c.data(plist_new_uid(dictionary)), &error);
  EXPECT_TRUE(sameKinds(Value::dictionary({{"k", Value::array({1})}}), back.value())) << error.description();
}

TEST_F(KeyedArchiveTest, CorruptArchivesGiveAnErrorNeverACrash) {
  const Data good = archive(Value::dictionary({{"k", Value::array({1})}}));
  std::vector<std::pair<std::string, Data>> cases = {
      {"empty", {}},
      {"garbage", Data{'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c', 'h', 'i', 'v', 'e'}},
      {"truncated", Data(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2))},
      {"plain property list", *PropertyList::write(Value::array({1}), PropertyList::Format::Binary)},
  };
  {
    Crafted c;
    cases.emplace_back("missing $top", c.data(plist_new_uid(0), false));
  }
  {
    Crafted c;
    cases.emplace_back("root reference out of range", c.data(plist_new_uid(99)));
  }
  {
    Crafted c;
    cases.emplace_back("root not a reference", c.data(plist_new_uint(1)));
  }
  {
    Crafted c;
    const auto uid = c.add(Crafted::object(0, {{"NS.objects", Crafted::refs({})}}));
    cases.emplace_back("object without a class", c.data(plist_new_uid(uid)));
  }
  {
    Crafted c;
    const auto cls = c.add(Crafted::object(0, {{"$classes", Crafted::refs({})}}));
    const auto uid = c.add(Crafted::object(cls, {}));
    cases.emplace_back("class entry without a name", c.data(plist_new_uid(uid)));
  }
  {
    Crafted c;
    const auto cls = c.classEntry("NSArray");
    const auto uid = c.add(plist_new_string("placeholder"));
    c.replace(uid, Crafted::object(cls, {{"NS.objects", Crafted::refs({uid})}}));
    cases.emplace_back("array containing itself", c.data(plist_new_uid(uid)));
  }
  {
    Crafted c;
    const auto cls = c.classEntry("NSDictionary");
    const auto key = c.add(plist_new_string("k"));
    const auto uid = c.add(Crafted::object(cls, {{"NS.keys", Crafted::refs({key, key})}, {"NS.objects", Crafted::refs({key})}}));
    cases.emplace_back("dictionary with more keys than values", c.data(plist_new_uid(uid)));
  }
  {
    Crafted c;
    const auto cls = c.classEntry("NSDictionary");
    // Integer keys read as their decimal text; other keys have no text a Value could key by.
    const auto number = c.add(plist_new_real(1.5));
    const auto uid = c.add(Crafted::object(cls, {{"NS.keys", Crafted::refs({number})}, {"NS.objects", Crafted::refs({number})}}));
    cases.emplace_back("dictionary key that is neither a string nor an integer", c.data(plist_new_uid(uid)));
  }
  {
    Crafted c;
    const auto cls = c.classEntry("NSDate");
    const auto uid = c.add(Crafted::object(cls, {{"NS.time", plist_new_string("soon")}}));
    cases.emplace_back("date without a time", c.data(plist_new_uid(uid)));
  }
  {
    Crafted c;
    const auto cls = c.classEntry("NSArray");
    const auto leaf = c.add(plist_new_uint(1));
    std::uint64_t next = leaf;
    for (int i = 0; i < 2000; ++i) next = c.add(Crafted::object(cls, {{"NS.objects", Crafted::refs({next})}}));
    cases.emplace_back("deep nesting", c.data(plist_new_uid(next)));
  }
  {
    Crafted c;
    const auto cls = c.classEntry("TestRaising");
    const auto uid = c.add(Crafted::object(cls, {}));
    cases.emplace_back("initWithCoder raising", c.data(plist_new_uid(uid)));
  }
  {
    Crafted c;
    const auto cls = c.classEntry("TestClock");
    const auto text = c.add(plist_new_string("12"));
    const auto uid = c.add(Crafted::object(cls, {{"TestClockTimeMillis", plist_new_uid(text)}}));
    cases.emplace_back("integer key holding an object", c.data(plist_new_uid(uid)));
  }
  {
    Crafted c;
    const auto cls = c.classEntry("TestEvent");
    const auto payload = c.add(plist_new_data("x", 1));
    const auto uid = c.add(Crafted::object(cls, {{"payload", plist_new_uid(payload)}, {"tier", plist_new_uint(1ull << 40)}}));
    cases.emplace_back("32-bit key too large", c.data(plist_new_uid(uid)));
  }

  const ClassSet everything{"NSObject"};
  for (const auto& [name, data] : cases) {
    Error error;
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClasses(everything, data, &error).isNil()) << name;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << name;
    EXPECT_EQ(error.code(), kCoderReadCorruptError) << name << ": " << error.description();
  }
}

}  // namespace
}  // namespace platform
