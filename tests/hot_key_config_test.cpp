// "HOTKEY.CFG": where it lives, what a damaged or missing file gives, and the
// two key tables.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/hot_key_config.h"

namespace fs = std::filesystem;

namespace {

std::vector<char> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::vector<char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

std::vector<char> Record(int32_t code, const char* name) {
  HOT_KEY key;
  memset(&key, 0, sizeof key);
  key.code = code;
  strncpy(key.name, name, sizeof key.name);
  const char* bytes = reinterpret_cast<const char*>(&key);
  return std::vector<char>(bytes, bytes + sizeof key);
}

std::vector<char> Defaults() {
  auto file = Record(18, "1");
  auto second = Record(19, "2");
  file.insert(file.end(), second.begin(), second.end());
  return file;
}

// Each test runs in a working directory of its own.
class HotKeyConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("portvane-cfg-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
    memset(keys_, 0xAA, sizeof keys_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  fs::path file() const { return dir_ / "HOTKEY.CFG"; }

  fs::path previous_;
  fs::path dir_;
  HOT_KEY keys_[2];
};

}  // namespace

TEST_F(HotKeyConfigTest, FirstRunUsesControlOptionOneAndTwoAndWritesThem) {
  EXPECT_FALSE(GetHotKeyConfiguration(keys_));
  EXPECT_EQ(18, keys_[0].code);
  EXPECT_STREQ("1", keys_[0].name);
  EXPECT_EQ(19, keys_[1].code);
  EXPECT_STREQ("2", keys_[1].name);
  EXPECT_EQ(Defaults(), ReadAll(file()));
}

TEST_F(HotKeyConfigTest, AWholeFileIsUsedAsItStands) {
  auto bytes = Record(0x7A, "F1");
  auto second = Record(0x31, "Space");
  bytes.insert(bytes.end(), second.begin(), second.end());
  WriteAll(file(), bytes);
  EXPECT_TRUE(GetHotKeyConfiguration(keys_));
  EXPECT_EQ(0x7A, keys_[0].code);
  EXPECT_STREQ("Space", keys_[1].name);
}

TEST_F(HotKeyConfigTest, AShortFileIsReplacedByTheDefaults) {
  auto bytes = Record(0x7A, "F1");
  auto second = Record(0x31, "Space");
  bytes.insert(bytes.end(), second.begin(), second.end() - 1);
  ASSERT_EQ(79u, bytes.size());
  WriteAll(file(), bytes);
  EXPECT_FALSE(GetHotKeyConfiguration(keys_));
  EXPECT_EQ(18, keys_[0].code);
  EXPECT_EQ(Defaults(), ReadAll(file()));
}

TEST_F(HotKeyConfigTest, ALongFileGivesItsFirstEightyBytesAndIsLeftAlone) {
  auto bytes = Record(0x60, "F5");
  auto second = Record(0x61, "F6");
  bytes.insert(bytes.end(), second.begin(), second.end());
  bytes.resize(100, 'x');
  WriteAll(file(), bytes);
  EXPECT_TRUE(GetHotKeyConfiguration(keys_));
  EXPECT_EQ(0x61, keys_[1].code);
  EXPECT_EQ(bytes, ReadAll(file()));
}

TEST_F(HotKeyConfigTest, NamesWithoutTerminatorAreMeasuredWithinTheirBytes) {
  std::vector<char> bytes(80, 'N');
  WriteAll(file(), bytes);
  EXPECT_TRUE(GetHotKeyConfiguration(keys_));
  EXPECT_EQ(36u, HotKeyNameLength(keys_[0]));
  EXPECT_EQ(36u, HotKeyNameLength(keys_[1]));
  EXPECT_EQ(bytes, ReadAll(file())) << "a file that reads whole is not rewritten";
}

TEST_F(HotKeyConfigTest, AnUnreadableFileFallsBackAndAnUnwritableOneReportsFailure) {
  fs::create_directories(file());  // a directory cannot be read or written as a file
  EXPECT_FALSE(GetHotKeyConfiguration(keys_));
  EXPECT_EQ(19, keys_[1].code);
  EXPECT_FALSE(SetHotKeyConfiguration(keys_));
}

TEST_F(HotKeyConfigTest, AFullDiskIsAFailureEvenWhenTheBytesWereBuffered) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  fs::create_symlink("/dev/full", file());
  GetHotKeyConfiguration(keys_);
  EXPECT_FALSE(SetHotKeyConfiguration(keys_));
}

TEST_F(HotKeyConfigTest, ADirectoryPathJustUnderTheLimitStillWorks) {
  // 255 bytes of directory with its terminator fit; the file name goes after.
  fs::path deep = dir_;
  while (deep.string().size() < 245) deep /= std::string(std::min<size_t>(40, 245 - deep.string().size() - 1), 'd');
  fs::create_directories(deep);
  fs::current_path(deep);
  ASSERT_GE(fs::current_path().string().size(), 244u);
  ASSERT_LT(fs::current_path().string().size(), 256u);
  EXPECT_FALSE(GetHotKeyConfiguration(keys_));
  EXPECT_TRUE(fs::exists(deep / "HOTKEY.CFG"));
  EXPECT_TRUE(SetHotKeyConfiguration(keys_));
}

TEST_F(HotKeyConfigTest, ADirectoryPathOverTheLimitIsAPathFailure) {
  fs::path deep = dir_;
  while (deep.string().size() < 300) deep /= std::string(50, 'e');
  fs::create_directories(deep);
  fs::current_path(deep);
  EXPECT_FALSE(GetHotKeyConfiguration(keys_));
  EXPECT_EQ(18, keys_[0].code);
  EXPECT_FALSE(SetHotKeyConfiguration(keys_));
  EXPECT_FALSE(fs::exists(deep / "HOTKEY.CFG"));
}

TEST(HotKeyTables, UniversalHotKeysEndWithTheirEndEntry) {
  std::vector<std::string> names;
  for (const HOT_KEY* key = HotKeyList; key->code != 0; ++key) names.push_back(key->name);
  EXPECT_EQ((std::vector<std::string>{"Scroll Lock", "Num Lock", "Caps Lock", "F12", "esc"}), names);
}

TEST(HotKeyTables, MappedKeysAreFoundByTheirVirtualKeyCode) {
  auto lookup = [](int32_t code) -> std::string {
    for (const HOT_KEY& key : MappedKeys)
      if (key.code == code) return key.name;
    return "";
  };
  EXPECT_EQ("Caps Lock", lookup(0x39));
  EXPECT_EQ("F6", lookup(0x61));
  EXPECT_EQ("", lookup(0x35));
  EXPECT_EQ("=(Numeric Pad)", lookup(0x51));
  EXPECT_EQ("Suppress", lookup(0x75));
}
