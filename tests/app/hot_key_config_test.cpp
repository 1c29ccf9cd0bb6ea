// "HOTKEY.CFG": where it lives, what a damaged or missing file gives, and the
// two key tables.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
// A disk whose folders do not take a sync.
int FolderFailingFsync(int fd) {
  struct stat status;
  if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    errno = EIO;
    return -1;
  }
  return fsync(fd);
}
const HotKeyFileCalls kFolderFailingDisk = {.write = write, .fsync = FolderFailingFsync};

// Another user of the machine.
constexpr uid_t kOtherUser = 65534;

// fs.protected_symlinks set to each value in turn (only the current one where
// it cannot be changed), and put back afterwards.
class ProtectedSymlinks {
 public:
  ProtectedSymlinks() { std::ifstream("/proc/sys/fs/protected_symlinks") >> saved_; }
  ~ProtectedSymlinks() { set(saved_); }
  bool set(int value) {
    std::ofstream out("/proc/sys/fs/protected_symlinks");
    out << value;
    out.close();
    int now = -1;
    std::ifstream("/proc/sys/fs/protected_symlinks") >> now;
    return now == value;
  }
  int saved() const { return saved_; }

 private:
  int saved_ = -1;
};

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

TEST_F(HotKeyConfigTest, ALinkAnotherUserPlantedInASharedFolderIsNeverWrittenThrough) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
  // The user's own files, which the link in the shared folder leads to.
  const fs::path victim = dir_ / "victim";
  const std::vector<char> shortFile(10, 'v');
  WriteAll(victim, shortFile);
  const fs::path shared = dir_ / "shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  const fs::path link = shared / "HOTKEY.CFG";
  fs::current_path(shared);
  const std::string refused = "cannot write " + Named(link) +
                              ": it is a symbolic link another user made in a folder anyone may write; it is not followed";
  ProtectedSymlinks setting;
  for (int value : {1, 0}) {
    if (!setting.set(value) && value != setting.saved()) continue;
    for (const fs::path& target : {victim, dir_ / "missing"}) {
      SCOPED_TRACE("fs.protected_symlinks=" + std::to_string(value) + ", link to " + target.string());
      fs::remove(link);
      fs::create_symlink(target, link);
      ASSERT_EQ(0, lchown(link.c_str(), kOtherUser, kOtherUser));
      // Start-up reads through the link only where the kernel allows it, and
      // writes its defaults through it nowhere.
      EXPECT_FALSE(GetHotKeyConfiguration(keys_));
      const bool kernelRefuses = value == 1;
      const bool startUpWrites = !kernelRefuses;  // short or missing, as far as it can see
      EXPECT_EQ((kernelRefuses ? "portvane: cannot read " + Named(link) +
                                     ": Permission denied; the default hot keys are used for this run\n"
                               : "") +
                    (startUpWrites ? "portvane: " + refused + "\n" : ""),
                err_.take());
      std::string failure;
      EXPECT_FALSE(SetHotKeyConfiguration(keys_, &failure));
      EXPECT_EQ(refused, failure);
      EXPECT_EQ("portvane: " + refused + "\n", err_.take());
      EXPECT_TRUE(fs::is_symlink(link));
      EXPECT_EQ(shortFile, ReadAll(victim));
      EXPECT_FALSE(fs::exists(dir_ / "missing"));
      EXPECT_EQ(std::vector<std::string>{"HOTKEY.CFG"}, Listing(shared));
    }
  }
}

TEST_F(HotKeyConfigTest, TheUsersOwnLinkInASharedFolderIsFollowedAndKept) {
  const fs::path shared = dir_ / "shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  WriteAll(dir_ / "keys", Records(0x60, "F5", 0x61, "F6"));
  fs::create_symlink(dir_ / "keys", shared / "HOTKEY.CFG");
  fs::current_path(shared);
  memcpy(keys_, Defaults().data(), sizeof keys_);
  EXPECT_TRUE(SetHotKeyConfiguration(keys_));
  EXPECT_TRUE(fs::is_symlink(shared / "HOTKEY.CFG"));
  EXPECT_EQ(Defaults(), ReadAll(dir_ / "keys"));
  EXPECT_EQ("", err_.take());
}

TEST_F(HotKeyConfigTest, AFileTheUserMayNotWriteIsNotReplaced) {
  // Root may write any file; the save runs as another user where the test is root.
  const auto earlier = Records(0x60, "F5", 0x61, "F6");
  const std::vector<char> shortFile(10, 's');
  const std::string named = Named(file());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (chown(dir_.c_str(), kOtherUser, kOtherUser) != 0 || setgid(kOtherUser) != 0 ||
                           setuid(kOtherUser) != 0))
      _exit(10);
    int failed = 0;
    WriteAll(file(), earlier);
    fs::permissions(file(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    std::string failure;
    if (SetHotKeyConfiguration(keys_, &failure) || failure != "cannot write " + named + ": Permission denied") failed |= 1;
    if (ReadAll(file()) != earlier) failed |= 2;
    // Start-up's defaults for a short file do not replace it either.
    fs::permissions(file(), fs::perms::owner_write, fs::perm_options::add);
    WriteAll(file(), shortFile);
    fs::permissions(file(), fs::perms::owner_write, fs::perm_options::remove);
    if (GetHotKeyConfiguration(keys_) || ReadAll(file()) != shortFile) failed |= 4;
    if (Listing(dir_) != std::vector<std::string>{"HOTKEY.CFG"}) failed |= 8;
    _exit(failed);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "1: saved, 2: replaced, 4: start-up replaced, 8: a temporary file stayed";
  EXPECT_EQ("portvane: cannot write " + named + ": Permission denied\n" + "portvane: cannot write " + named +
                ": Permission denied\n",
            err_.take());
}

TEST_F(HotKeyConfigTest, TemporaryNamesCannotBeTakenFirstAndKilledSavesAreClearedAtStart) {
  // Every name an easily guessed scheme would try is taken by someone else.
  for (int n = 0; n < 100; ++n)
    WriteAll(dir_ / (".HOTKEY.CFG." + std::to_string(getpid()) + "." + std::to_string(n)), {'x'});
  memcpy(keys_, Defaults().data(), sizeof keys_);
  EXPECT_TRUE(SetHotKeyConfiguration(keys_));
  EXPECT_EQ(Defaults(), ReadAll(file()));
  EXPECT_EQ(101u, Listing(dir_).size()) << "the save leaves the names it did not make alone";
  for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());

  // Saves killed part way, by processes now gone, and one by a process that
  // is still here; the next start clears only the first.
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string stale = ".HOTKEY.CFG." + std::to_string(gone);
  WriteAll(dir_ / (stale + ".aB3xY9"), {'x'});
  WriteAll(dir_ / (stale + ".7"), {'x'});
  const std::string live = ".HOTKEY.CFG." + std::to_string(getppid()) + ".Qw2Er4";
  WriteAll(dir_ / live, {'x'});
  WriteAll(dir_ / ".HOTKEY.CFG.backup", {'x'});
  EXPECT_FALSE(GetHotKeyConfiguration(keys_));
  EXPECT_EQ((std::vector<std::string>{live, ".HOTKEY.CFG.backup", "HOTKEY.CFG"}), Listing(dir_));
}

TEST_F(HotKeyConfigTest, AFolderThatCannotBeFlushedAfterTheRenameStillSavesTheKeys) {
  memcpy(keys_, Defaults().data(), sizeof keys_);
  setHotKeyFileCalls(&kFolderFailingDisk);
  std::string failure;
  EXPECT_TRUE(SetHotKeyConfiguration(keys_, &failure));
  EXPECT_EQ("", failure);
  EXPECT_EQ(Defaults(), ReadAll(file()));
  EXPECT_EQ("portvane: saved " + Named(file()) + ", but its folder could not be flushed: Input/output error\n",
            err_.take());
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
