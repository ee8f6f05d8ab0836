// The wire format checked against an independent encoder: protoc encodes text fixtures that this
// code decodes, and decodes what this code encodes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "platform/foundation/home.h"
#include "sdk/analytics/messages/nano_accessors.h"

namespace {

namespace fs = std::filesystem;

fs::path fixtures() { return fs::path(std::getenv("FOCUS_SOURCE_DIR")) / "tests/sdk/analytics/messages/fixtures"; }

bool haveProtoc() { return std::system("protoc --version >/dev/null 2>&1") == 0; }

platform::Data readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return platform::Data(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const platform::Data& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Runs protoc --encode or --decode of a message type on a file; nothing when protoc fails.
std::optional<platform::Data> protoc(const char* mode, const std::string& message, const fs::path& input) {
  const fs::path output = platform::Home::temporary() / "protoc.out";
  const std::string command = "protoc --proto_path=" + fixtures().string() + " --" + mode + "=focus.analytics." +
                              message + " analytics.proto <" + input.string() + " >" + output.string();
  if (std::system(command.c_str()) != 0) return std::nullopt;
  return readFile(output);
}

TEST(ProtocWireFormat, ABatchEncodedByProtocDecodesAndReencodesToTheSameBytes) {
  if (!haveProtoc()) GTEST_SKIP() << "protoc is not installed";
  auto encoded = protoc("encode", "MeasurementBatch", fixtures() / "measurement_batch.txtpb");
  ASSERT_TRUE(encoded);
  auto batch = APMPBMeasurementBatch::initWithBuffer(*encoded);
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->protoBuffer(), encoded);

  auto bundles = NANOGetArray<APMPBMeasurementBundle>(batch.get(), 0);
  ASSERT_TRUE(bundles && bundles->size() == 1);
  const APMPBMeasurementBundle* bundle = (*bundles)[0].get();
  EXPECT_EQ(NANOGetInt32(bundle, 12), -300);
  EXPECT_EQ(NANOGetInt64(bundle, 6), 1699990000000);
  EXPECT_EQ(NANOGetString(bundle, 20), "vendor-ü");
  EXPECT_TRUE(NANOHasField(bundle, 21));
  EXPECT_FALSE(NANOGetBool(bundle, 21));
  EXPECT_EQ(NANOGetInt32(bundle, 41), 3);
  EXPECT_EQ(NANOGetArray(bundle, 37), (platform::Value::Array{100u, 4294967295u}));
  EXPECT_EQ(NANOGetArray(bundle, 44), (platform::Value::Array{"device_info", ""}));

  auto events = NANOGetArray<APMPBEvent>(bundle, 1);
  ASSERT_TRUE(events && events->size() == 2);
  EXPECT_EQ(NANOGetString((*events)[0].get(), 1), "_e");
  EXPECT_EQ(NANOGetInt64((*events)[0].get(), 2), 1700000000123);
  auto params = NANOGetArray<APMPBEventParam>((*events)[0].get(), 0);
  ASSERT_TRUE(params && params->size() == 5);
  EXPECT_EQ(NANOGetInt64((*params)[1].get(), 2), -42);
  EXPECT_EQ(NANOGetDouble((*params)[2].get(), 4), 9.99);
  auto items = NANOGetArray<APMPBEventParam>((*params)[4].get(), 5);
  ASSERT_TRUE(items && items->size() == 2);
  auto item = NANOGetArray<APMPBEventParam>((*items)[0].get(), 5);
  ASSERT_TRUE(item && item->size() == 1);
  EXPECT_EQ(NANOGetString((*item)[0].get(), 1), "sku-1");

  auto results = NANOGetArray<APMPBAudienceLeafFilterResult>(bundle, 28);
  ASSERT_TRUE(results && results->size() == 1);
  EXPECT_TRUE(NANOGetBool((*results)[0].get(), 3));
  EXPECT_FALSE(NANOHasField((*results)[0].get(), 2));
  auto current = NANOGetMessage<APMPBResultData>((*results)[0].get(), 1);
  ASSERT_TRUE(current);
  EXPECT_EQ(NANOGetArray(current.get(), 0), (platform::Value::Array{3ull, 18446744073709551615ull}));
}

// Every field of a record, recursively to a small depth: each kind with a value that shows
// a wrong encoding (negative integers, fractions, several elements).
void fill(const NANOMessageSchema& schema, MessageInfo* record, int depth) {
  for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
    const NANOFieldSchema& field = schema.fields[i];
    const std::int32_t kind = field.typeCode & kNANOKindMask;
    const bool repeated = field.typeCode & kNANORepeated;
    if (kind == kNANOMessage && depth >= 2) continue;
    auto store = [&](void** slot, int n) {
      switch (kind) {
        case kNANOBool: NANOStoreBool(slot, true); break;
        case kNANOEnum: NANOStoreUInt32(slot, 3 + n); break;
        case kNANOInt32: NANOStoreUInt32(slot, static_cast<std::uint32_t>(-7 - n)); break;
        case kNANOUInt32: NANOStoreUInt64(slot, 4000000000u + n); break;
        case kNANOInt64: NANOStoreUInt64(slot, static_cast<std::uint64_t>(-1234567890123ll - n)); break;
        case kNANOUInt64: NANOStoreUInt64(slot, ~std::uint64_t{0} - n); break;
        case kNANOFloat: NANOStoreFloat(slot, 1.5f + n); break;
        case kNANODouble: NANOStoreDouble(slot, -2.25 - n); break;
        case kNANOString: {
          const std::string text = std::string(field.name) + "-" + std::to_string(n);
          NANOStoreString(slot, reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint32_t>(text.size()));
          break;
        }
        case kNANOMessage: {
          MessageInfo* child = NANONewMessageInfo(*field.child);
          fill(*field.child, child, depth + 1);
          *slot = child;
          break;
        }
      }
    };
    if (!repeated) {
      store(&record->fields[i], 0);
      continue;
    }
    auto* header = static_cast<NANORepeatedHeader*>(record->fields[i]);
    header->count = 2;
    header->items = static_cast<void**>(std::calloc(2, sizeof(void*)));
    store(&header->items[0], 0);
    store(&header->items[1], 1);
  }
}

TEST(ProtocWireFormat, EveryFieldOfEveryMessageMeansTheSameToProtoc) {
  if (!haveProtoc()) GTEST_SKIP() << "protoc is not installed";
  for (const NANOMessageSchema* schema : NANOAllMessageSchemas()) {
    MessageInfo* record = NANONewMessageInfo(*schema);
    fill(*schema, record, 0);
    auto ours = NANOEncodeToData(*schema, record);
    NANODeallocMessage(*schema, record);
    ASSERT_TRUE(ours) << schema->name;

    const fs::path binary = platform::Home::temporary() / "ours.bin";
    writeFile(binary, *ours);
    auto text = protoc("decode", schema->name, binary);
    ASSERT_TRUE(text) << schema->name;
    // Fields protoc does not know, or reads with another wire type, come back as bare numbers.
    std::istringstream lines(std::string(text->begin(), text->end()));
    for (std::string line; std::getline(lines, line);) {
      const auto start = line.find_first_not_of(' ');
      EXPECT_FALSE(start != std::string::npos && std::isdigit(static_cast<unsigned char>(line[start])))
          << schema->name << ": " << line;
    }
    const fs::path textFile = platform::Home::temporary() / "ours.txtpb";
    writeFile(textFile, *text);
    EXPECT_EQ(protoc("encode", schema->name, textFile), ours) << schema->name;

    MessageInfo* decoded = NANONewMessageInfo(*schema);
    EXPECT_TRUE(NANODecode(*schema, ours->data(), ours->size(), decoded)) << schema->name;
    EXPECT_EQ(NANOEncodeToData(*schema, decoded), ours) << schema->name;
    NANODeallocMessage(*schema, decoded);
  }
}

}  // namespace
