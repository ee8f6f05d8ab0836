#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <array>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "sdk/crash/launch/rlz_application_identifier_model.h"
#include "sdk/crash/launch/rlz_macho_binary.h"
#include "sdk/crash/launch/rlz_utilities.h"

namespace {

std::string fixture(const std::string& name) {
  return std::string(std::getenv("FOCUS_SOURCE_DIR")) + "/tests/fixtures/macho/" + name;
}

std::string run(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  std::array<char, 4096> buffer;
  while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) out.append(buffer.data(), n);
  return out;
}

struct Reference {
  std::vector<std::string> uuids;
  std::vector<int> cryptids;
  std::vector<std::string> minimumVersions;
};

// What the reference reader makes of a file, in file order.
Reference objdump(const std::string& path) {
  Reference r;
  const std::string text = run("llvm-objdump --macho --private-headers --arch=all '" + path + "' 2>/dev/null");
  std::smatch m;
  for (std::string::const_iterator it = text.begin();
       std::regex_search(it, text.end(), m, std::regex(R"(uuid ([0-9A-F-]{36})|cryptid (\d+)|cmd LC_VERSION_MIN_IPHONEOS\n\s+cmdsize \d+\n\s+version (\S+))"));
       it = m.suffix().first) {
    if (m[1].matched) {
      std::string u = m[1];
      u.erase(std::remove(u.begin(), u.end(), '-'), u.end());
      std::transform(u.begin(), u.end(), u.begin(), ::tolower);
      r.uuids.push_back(u);
    } else if (m[2].matched) {
      r.cryptids.push_back(std::stoi(m[2]));
    } else {
      r.minimumVersions.push_back(m[3]);
    }
  }
  return r;
}

TEST(RLZMachOTest, FixturesAgreeWithTheReferenceReader) {
  struct Case {
    const char* file;
    std::vector<std::string> architectures;
    bool encrypted;
    const char* minimumOS;
    const char* sdk;
  };
  const Case cases[] = {
      {"thin_arm64_build_version", {"arm64"}, false, "0.0.0", "0.0.0"},
      {"thin_arm64_version_min", {"arm64"}, false, "15.0.0", "16.0.0"},
      {"thin_arm64_encrypted", {"arm64"}, true, "15.0.0", "16.0.0"},
      {"thin_x86_64", {"x86_64"}, false, "0.0.0", "0.0.0"},
  };
  for (const auto& c : cases) {
    const auto binary = RLZMachOBinary::MachOBinaryWithPath(fixture(c.file));
    ASSERT_TRUE(binary) << c.file;
    const auto reference = objdump(fixture(c.file));
    ASSERT_EQ(binary->slices().size(), c.architectures.size()) << c.file;
    ASSERT_EQ(reference.uuids.size(), 1u) << c.file;
    const auto& slice = binary->slices().front();
    EXPECT_EQ(slice->architectureName(), c.architectures.front()) << c.file;
    EXPECT_EQ(slice->uuid(), reference.uuids.front()) << c.file;
    EXPECT_EQ(slice->encrypted(), !reference.cryptids.empty() && reference.cryptids.front() != 0) << c.file;
    EXPECT_EQ(slice->encrypted(), c.encrypted) << c.file;
    auto format = [](RLZMachOVersion v) {
      return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
    };
    EXPECT_EQ(format(slice->minimumOSVersion()), c.minimumOS) << c.file;
    EXPECT_EQ(format(slice->linkedSDKVersion()), c.sdk) << c.file;
    if (!reference.minimumVersions.empty()) {
      EXPECT_TRUE(format(slice->minimumOSVersion()).starts_with(reference.minimumVersions.front())) << c.file;
    }
  }
}

TEST(RLZMachOTest, FatFileSlicesAndBuildInstance) {
  const auto fat = RLZMachOBinary::MachOBinaryWithPath(fixture("fat_arm64_x86_64"));
  ASSERT_TRUE(fat);
  const auto reference = objdump(fixture("fat_arm64_x86_64"));
  ASSERT_EQ(fat->slices().size(), 2u);
  std::vector<std::string> uuids;
  fat->enumerateUUIDs([&](const std::string& uuid, const std::string&) { uuids.push_back(uuid); });
  EXPECT_EQ(uuids, reference.uuids);
  ASSERT_TRUE(fat->sliceForArchitecture("arm64"));
  ASSERT_TRUE(fat->sliceForArchitecture("x86_64"));
  const std::string joined = fat->sliceForArchitecture("arm64")->uuid() + fat->sliceForArchitecture("x86_64")->uuid();
  EXPECT_EQ(fat->instanceIdentifier(), RLZHashBytes(joined.data(), joined.size()));

  const auto model = RLZApplicationIdentifierModel::makeWithExecutablePath(fixture("fat_arm64_x86_64"));
  ASSERT_TRUE(model);
  EXPECT_EQ(model->buildInstanceID(), fat->instanceIdentifier());
  EXPECT_EQ(model->architectureUUIDMap().size(), 2u);
}

TEST(RLZMachOTest, RefusesWhatIsNotAnImage) {
  EXPECT_FALSE(RLZMachOBinary::MachOBinaryWithPath(std::getenv("FOCUS_SOURCE_DIR")));
  EXPECT_FALSE(RLZMachOBinary::MachOBinaryWithPath("/nonexistent"));
  const RLZMachOSlice unknown{nullptr, 0x0100000C, 1, 0};
  EXPECT_STREQ(RLZMachOSliceGetArchitectureName(unknown), "arm64v8");
  // A header whose commands claim more than the file holds is cut off, not read past.
  std::vector<uint8_t> bytes(64, 0);
  const uint32_t header[] = {0xFEEDFACF, 0x0100000C, 0, 2, 1000, 5000};
  std::memcpy(bytes.data(), header, sizeof header);
  RLZMachOSlice slice{bytes.data(), 0, 0, bytes.size()};
  int commands = 0;
  RLZMachOEnumerateLoadCommands(&slice, [&](uint32_t, uint32_t, const uint8_t*) { ++commands; });
  EXPECT_EQ(commands, 0);
}

TEST(RLZMachOTest, ElfExecutableReadsAsOneSliceWithItsBuildId) {
  const auto binary = RLZMachOBinary::MachOBinaryWithPath("/proc/self/exe");
  ASSERT_TRUE(binary);
  ASSERT_EQ(binary->slices().size(), 1u);
  const auto& slice = binary->slices().front();
  EXPECT_EQ(slice->architectureName(), "x86_64");
  const std::string notes = run("readelf -n /proc/" + std::to_string(getpid()) + "/exe");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(notes, m, std::regex("Build ID: ([0-9a-f]+)")));
  EXPECT_EQ(slice->uuid(), m[1].str().substr(0, 32));
  // The same facts from the mapped image, as the loader callbacks see it.
  EXPECT_EQ(RLZMachOSliceObject::runningSlice()->uuid(), slice->uuid());
  const auto model = RLZApplicationIdentifierModel::make();
  ASSERT_TRUE(model);
  EXPECT_EQ(model->architectureUUIDMap().at("x86_64"), slice->uuid());
  EXPECT_EQ(model->builtSDKString(), "0.0.0");
}

}  // namespace
