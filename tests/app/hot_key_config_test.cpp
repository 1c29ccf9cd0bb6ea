// "HOTKEY.CFG": where it lives, what a damaged or missing file gives, and the
// two key tables.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/hot_key_config.h"
#include "tests/support/stderr_capture.h"

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

std::vector<char> Records(int32_t code0, const char* name0, int32_t code1, const char* name1) {
  auto file = Record(code0, name0);
  auto second = Record(code1, name1);
  file.insert(file.end(), second.begin(), second.end());
  return file;
}

std::vector<char> Defaults() { return Records(18, "1", 19, "2"); }

// A disk that takes `room` bytes and then reports `writeError`, and whose
// syncs report `syncError` (0: they succeed).
size_t room = 0;
int writeError = 0;
int syncError = 0;
ssize_t LimitedWrite(int fd, const void* buffer, size_t count) {
  if (room == 0) {
    errno = writeError;
    return -1;
  }
  const size_t taken = std::min(room, count);
  room -= taken;
  return write(fd, buffer, taken);
}
int FailingFsync(int fd) {
  if (syncError == 0) return fsync(fd);
  errno = syncError;
  return -1;
}
const HotKeyFileCalls kFailingDisk = {.write = LimitedWrite, .fsync = FailingFsync};

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
    setHotKeyFileCalls(nullptr);
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  fs::path file() const { return dir_ / "HOTKEY.CFG"; }
  // The file as the program names it (the working directory as getcwd gives it).
  static std::string Named(const fs::path& path) { return fs::canonical(path.parent_path()) / path.filename(); }
  // Names in `folder`, to see that no temporary file stays behind.
  static std::vector<std::string> Listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path previous_;
  fs::path dir_;
  HOT_KEY keys_[2];
  testsupport::StderrCapture err_;
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
  EXPECT_EQ("portvane: cannot read " + Named(file()) + ": Is a directory; the default hot keys are used for this run\n",
            err_.take());
  std::string failure;
  EXPECT_FALSE(SetHotKeyConfiguration(keys_, &failure));
  EXPECT_EQ("cannot write " + Named(file()) + ": Is a directory", failure);
  EXPECT_EQ("portvane: " + failure + "\n", err_.take());
  EXPECT_TRUE(fs::is_directory(file()));
}

TEST_F(HotKeyConfigTest, AFileThatExistsButCannotBeOpenedKeepsItsBytes) {
  // A link to itself cannot be opened, even by root.
  fs::create_symlink("HOTKEY.CFG", file());
  EXPECT_FALSE(GetHotKeyConfiguration(keys_));
  EXPECT_EQ(18, keys_[0].code);
  EXPECT_EQ("portvane: cannot read " + Named(file()) +
                ": Too many levels of symbolic links; the default hot keys are used for this run\n",
            err_.take());
  EXPECT_TRUE(fs::is_symlink(file()));
  fs::remove(file());

  if (geteuid() != 0) {  // root reads any file
    const auto bytes = Records(0x60, "F5", 0x61, "F6");
    WriteAll(file(), bytes);
    fs::permissions(file(), fs::perms::none);
    EXPECT_FALSE(GetHotKeyConfiguration(keys_));
    EXPECT_EQ("portvane: cannot read " + Named(file()) +
                  ": Permission denied; the default hot keys are used for this run\n",
              err_.take());
    fs::permissions(file(), fs::perms::owner_read);
    EXPECT_EQ(bytes, ReadAll(file()));
  }
}

TEST_F(HotKeyConfigTest, ASaveThatFailsPartWayLeavesTheEarlierFileWhole) {
  const auto earlier = Records(0x60, "F5", 0x61, "F6");
  WriteAll(file(), earlier);
  const auto expected = Listing(dir_);
  memcpy(keys_, Defaults().data(), sizeof keys_);
  setHotKeyFileCalls(&kFailingDisk);
  struct Failure {
    size_t room;
    int writeError;
    int syncError;
    const char* reason;
  };
  for (const Failure& f : {Failure{30, ENOSPC, 0, "No space left on device"}, Failure{0, EDQUOT, 0, "Disk quota exceeded"},
                           Failure{80, 0, EIO, "Input/output error"}}) {
    room = f.room;
    writeError = f.writeError;
    syncError = f.syncError;
    std::string failure;
    EXPECT_FALSE(SetHotKeyConfiguration(keys_, &failure)) << f.reason;
    EXPECT_EQ("portvane: cannot write " + Named(file()) + ": " + f.reason + "\n", err_.take());
    EXPECT_EQ("cannot write " + Named(file()) + ": " + f.reason, failure);
    EXPECT_EQ(earlier, ReadAll(file())) << f.reason;
    EXPECT_EQ(expected, Listing(dir_)) << "no temporary file stays behind";
  }
  // The same disk with room and working syncs takes the save in one piece.
  room = 80;
  syncError = 0;
  EXPECT_TRUE(SetHotKeyConfiguration(keys_));
  EXPECT_EQ(Defaults(), ReadAll(file()));
  EXPECT_EQ(expected, Listing(dir_));
  EXPECT_EQ("", err_.take());
}

TEST_F(HotKeyConfigTest, ALinkStaysALinkAndTheFileItLeadsToIsReplaced) {
  fs::create_directories(dir_ / "kept");
  const fs::path target = dir_ / "kept" / "keys";
  WriteAll(target, Records(0x60, "F5", 0x61, "F6"));
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("kept/keys", file());
  memcpy(keys_, Defaults().data(), sizeof keys_);
  EXPECT_TRUE(SetHotKeyConfiguration(keys_));
  EXPECT_TRUE(fs::is_symlink(file()));
  EXPECT_EQ("kept/keys", fs::read_symlink(file()).string());
  EXPECT_EQ(Defaults(), ReadAll(target));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
            fs::status(target).permissions() & fs::perms::mask)
      << "the replaced file keeps its permissions";
  EXPECT_EQ(std::vector<std::string>{"keys"}, Listing(dir_ / "kept"));

  // A link to a file not yet there: the first run creates that file.
  fs::remove(target);
  EXPECT_FALSE(GetHotKeyConfiguration(keys_));
  EXPECT_TRUE(fs::is_symlink(file()));
  EXPECT_EQ(Defaults(), ReadAll(target));
  EXPECT_EQ("", err_.take());
}

TEST_F(HotKeyConfigTest, AFullDiskIsAFailureEvenWhenTheBytesWereBuffered) {
  // The link leads to a device, which a save refuses to replace.
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
