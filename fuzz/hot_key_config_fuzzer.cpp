// "HOTKEY.CFG" loading and saving in a working directory of the fuzzer's own,
// with the file's content from the input. What the user stored is either
// taken whole or left alone, the defaults stand in for anything shorter, a
// save reports success exactly when all 80 bytes are in the file, and nothing
// but the file is left behind.
//
// Input: byte 0 chooses what stands at "HOTKEY.CFG" (bits 0-1: 0 or 3 a file
// with the rest of the input as its content, 1 nothing, 2 a directory) and
// the working directory (bits 2-5: 0 a short path, n > 0 a path of 248 + n
// characters, around the 256 the program allows).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/hot_key_config.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kFileName[] = "HOTKEY.CFG";
constexpr size_t kRecordsSize = 2 * sizeof(HOT_KEY);
// The longest working directory the program takes (256 bytes with its terminator).
constexpr size_t kLongestDirectory = 255;
constexpr size_t kLongDirectories = 15;

std::string baseDirectory;
std::vector<std::string> directories;  // 0: a short path, then the long ones
// Where the fuzzer was started: it finds its inputs and writes its findings
// relative to it, so each input's run ends back there.
int home = -1;

[[noreturn]] void fail(const char* what) {
  if (home >= 0 && fchdir(home) != 0) fprintf(stderr, "hot_key_config: cannot go back\n");
  fprintf(stderr, "hot_key_config: %s\n", what);
  __builtin_trap();
}

std::string currentDirectory() {
  std::vector<char> buffer(4096);
  if (!getcwd(buffer.data(), buffer.size())) fail("getcwd");
  return buffer.data();
}

void removeTree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) removeTree(path + "/" + entry->d_name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void removeBase() { removeTree(baseDirectory); }

// Names in the working directory, "." and ".." aside.
std::vector<std::string> listing() {
  std::vector<std::string> names;
  DIR* dir = opendir(".");
  if (!dir) fail("opendir");
  while (dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

enum class Kind { kNothing, kFile, kDirectory };

struct Stored {
  Kind kind = Kind::kNothing;
  Bytes content;
  bool operator==(const Stored&) const = default;
};

Stored stored() {
  Stored s;
  struct stat info;
  if (lstat(kFileName, &info) != 0) return s;
  if (S_ISDIR(info.st_mode)) {
    s.kind = Kind::kDirectory;
    return s;
  }
  s.kind = Kind::kFile;
  FILE* file = fopen(kFileName, "rb");
  if (!file) fail("reading the stored file back");
  uint8_t chunk[512];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) s.content.insert(s.content.end(), chunk, chunk + n);
  fclose(file);
  return s;
}

void store(const Stored& s) {
  removeTree(kFileName);
  if (s.kind == Kind::kDirectory) {
    if (mkdir(kFileName, 0755) != 0) fail("mkdir");
  } else if (s.kind == Kind::kFile) {
    FILE* file = fopen(kFileName, "wb");
    if (!file) fail("fopen");
    if (!s.content.empty() && fwrite(s.content.data(), 1, s.content.size(), file) != s.content.size()) fail("fwrite");
    if (fclose(file) != 0) fail("fclose");
  }
}

// Control+Option+1 and +2: what the program falls back on.
Bytes defaults() {
  HOT_KEY keys[2];
  memset(keys, 0, sizeof keys);
  keys[0].code = 18;
  keys[0].name[0] = '1';
  keys[1].code = 19;
  keys[1].name[0] = '2';
  const auto* bytes = reinterpret_cast<const uint8_t*>(keys);
  return Bytes(bytes, bytes + kRecordsSize);
}

Bytes bytesOf(const HOT_KEY* keys) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(keys);
  return Bytes(bytes, bytes + kRecordsSize);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/portvane-fuzz-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) fail("mkdtemp");
  home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (home < 0 || chdir(name.data()) != 0) fail("chdir");
  // The physical path, as getcwd gives it to the program.
  baseDirectory = currentDirectory();
  if (fchdir(home) != 0) fail("fchdir");
  atexit(removeBase);
  // Working directories side by side, so that each holds only what the program puts there.
  directories.push_back(baseDirectory + "/short");
  if (mkdir(directories.back().c_str(), 0755) != 0) fail("mkdir");
  for (size_t n = 1; n <= kLongDirectories; ++n) {
    const size_t length = kLongestDirectory - 7 + n;
    if (length <= baseDirectory.size() + 1) fail("temporary directory too deep");
    std::string path = baseDirectory + "/" + std::string(length - baseDirectory.size() - 1, 'd');
    if (mkdir(path.c_str(), 0755) != 0) fail("mkdir");
    directories.push_back(path);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t control = size > 0 ? data[0] : 0;
  const std::string& directory = directories[((control >> 2) & 0x0F) % directories.size()];
  if (chdir(directory.c_str()) != 0) fail("chdir");
  const bool pathFits = currentDirectory().size() <= kLongestDirectory;

  Stored before;
  switch (control & 3) {
    case 1:
      break;
    case 2:
      before.kind = Kind::kDirectory;
      break;
    default:
      before.kind = Kind::kFile;
      if (size > 1) before.content.assign(data + 1, data + size);
      break;
  }
  store(before);

  HOT_KEY keys[2];
  memset(keys, 0xEE, sizeof keys);
  const bool loaded = GetHotKeyConfiguration(keys);
  const bool whole = pathFits && before.kind == Kind::kFile && before.content.size() >= kRecordsSize;
  if (loaded != whole) fail("loading reported the wrong outcome");
  const Bytes expected = whole ? Bytes(before.content.begin(), before.content.begin() + kRecordsSize) : defaults();
  if (bytesOf(keys) != expected) fail("loaded records differ from the file or the defaults");
  for (const HOT_KEY& key : keys) {
    if (HotKeyNameLength(key) > sizeof key.name) fail("name length past the record");
  }

  // The defaults replace an unusable file; a directory or an unreachable path
  // stays as it was.
  Stored afterLoad = before;
  if (!loaded && pathFits && before.kind != Kind::kDirectory) afterLoad = {Kind::kFile, defaults()};
  if (stored() != afterLoad) fail("loading left the stored file wrong");

  // Saving what was loaded: all 80 bytes, or the file untouched.
  const bool saved = SetHotKeyConfiguration(keys);
  const bool canSave = pathFits && before.kind != Kind::kDirectory;
  if (saved != canSave) fail("saving reported the wrong outcome");
  const Stored afterSave = saved ? Stored{Kind::kFile, bytesOf(keys)} : afterLoad;
  if (stored() != afterSave) fail("saving left the stored file wrong");

  const std::vector<std::string> names = listing();
  const size_t expectedNames = afterSave.kind == Kind::kNothing ? 0 : 1;
  if (names.size() != expectedNames || (expectedNames == 1 && names[0] != kFileName)) {
    fail("something besides HOTKEY.CFG was left in the directory");
  }
  removeTree(kFileName);
  if (fchdir(home) != 0) fail("fchdir");
  return 0;
}
