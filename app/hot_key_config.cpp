#include "app/hot_key_config.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

const HOT_KEY HotKeyList[6] = {
    {0x47, "Scroll Lock"}, {0x53, "Num Lock"}, {0x39, "Caps Lock"}, {0x45, "F12"}, {0x29, "esc"}, {0, ""},
};

const HOT_KEY MappedKeys[kMappedKeyCount] = {
    {0x33, "Backspace"},
    {0x24, "Enter"},
    {0x30, "Tab"},
    {0x39, "Caps Lock"},
    {0x31, "Space"},
    {0x53, "1 (Numeric Pad)"},
    {0x54, "2 (Numeric Pad)"},
    {0x55, "3 (Numeric Pad)"},
    {0x56, "4 (Numeric Pad)"},
    {0x57, "5 (Numeric Pad)"},
    {0x58, "6 (Numeric Pad)"},
    {0x59, "7 (Numeric Pad)"},
    {0x5B, "8 (Numeric Pad)"},
    {0x5C, "9 (Numeric Pad)"},
    {0x52, "0 (Numeric Pad)"},
    {0x41, ". (Numeric Pad)"},
    {0x51, "=(Numeric Pad)"},
    {0x4B, "/ (Numeric Pad)"},
    {0x43, "* (Numeric Pad)"},
    {0x4E, "- (Numeric Pad)"},
    {0x45, "+ (Numeric Pad)"},
    {0x47, "Clear (Numeric Pad)"},
    {0x4C, "Enter (Numeric Pad)"},
    {0x7D, "Down Arrow"},
    {0x7E, "Up Arrow"},
    {0x7C, "Right Arrow"},
    {0x7B, "Left Arrow"},
    {0x74, "Page Up"},
    {0x79, "Page Down"},
    {0x73, "Home"},
    {0x77, "End"},
    {0x72, "Help"},
    {0x75, "Suppress"},
    {0x7A, "F1"},
    {0x78, "F2"},
    {0x63, "F3"},
    {0x76, "F4"},
    {0x60, "F5"},
    {0x61, "F6"},
    {0x62, "F7"},
    {0x64, "F8"},
    {0x65, "F9"},
    {0x6D, "F10"},
    {0x67, "F11"},
    {0x6F, "F12"},
    {0x69, "F13"},
    {0x6B, "F14"},
    {0x71, "F15"},
};

namespace {

constexpr size_t kConfigurationSize = 2 * sizeof(HOT_KEY);
static_assert(kConfigurationSize == 80, "the file holds two 40-byte records");
constexpr const char kFileName[] = "HOTKEY.CFG";
// Hops through symbolic links before the name counts as a loop, as the kernel counts.
constexpr int kMaxLinkHops = 40;
// Names tried for the temporary file before giving up on finding a free one.
constexpr unsigned kTemporaryNameAttempts = 100;
// The unpredictable end of a temporary name, so that nobody can take the name
// first in a shared folder: six letters or digits, as mkstemp makes them.
constexpr size_t kTemporaryTagLength = 6;
constexpr char kTagCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

ssize_t RealWrite(int fd, const void* buffer, size_t count) { return ::write(fd, buffer, count); }
int RealFsync(int fd) { return ::fsync(fd); }

const HotKeyFileCalls kRealFileCalls = {
    .write = RealWrite,
    .fsync = RealFsync,
};
const HotKeyFileCalls* currentFileCalls = &kRealFileCalls;

// "HOTKEY.CFG" in the working directory. A directory that needs more than 256
// bytes with its terminator is a failure; the file name is added in a buffer
// with room for it. On failure errno says why.
bool BuildPath(char (&path)[256 + sizeof kFileName + 1]) {
  char directory[256];
  if (!getcwd(directory, sizeof directory)) {
    // getcwd's "buffer too small" is, to the user, a folder name that is too long.
    if (errno == ERANGE) errno = ENAMETOOLONG;
    return false;
  }
  size_t length = strlen(directory);
  const char* separator = (length > 0 && directory[length - 1] == '/') ? "" : "/";
  int written = snprintf(path, sizeof path, "%s%s%s", directory, separator, kFileName);
  if (written > 0 && size_t(written) < sizeof path) return true;
  errno = ENAMETOOLONG;
  return false;
}

void ReportNoPath(int error) {
  fprintf(stderr, "portvane: cannot locate %s in the working folder: %s\n", kFileName, strerror(error));
}

// The file keeps each code little-endian whatever the machine's own order;
// the same swap serves both directions.
int32_t StoredCode(int32_t code) {
  if constexpr (std::endian::native == std::endian::big) return int32_t(__builtin_bswap32(uint32_t(code)));
  return code;
}

// Whether the kernel would follow the link `link` for a plain open where
// fs.protected_symlinks is on: not when it lies in a sticky folder that anyone
// may write, and neither the user nor the folder's owner made it. Checked here
// too, so that a link another user planted in /tmp is never written through
// on a machine where that setting is off.
bool MayFollow(const std::filesystem::path& link, const struct stat& linkStatus) {
  struct stat folder;
  const std::filesystem::path parent = link.parent_path();
  if (stat(parent.empty() ? "." : parent.c_str(), &folder) != 0) return false;
  const bool shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
  return !shared || linkStatus.st_uid == geteuid() || linkStatus.st_uid == folder.st_uid;
}

// The file a save replaces: the path itself, or, when it is a symbolic link,
// the file at the end of its chain, so that the link survives the save. On
// failure errno says why; a link that may not be followed names itself in
// `refusedLink`.
bool ResolveTarget(const std::filesystem::path& path, std::filesystem::path* target,
                   std::filesystem::path* refusedLink) {
  namespace fs = std::filesystem;
  fs::path current = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat status;
    if (lstat(current.c_str(), &status) != 0) {
      if (errno != ENOENT) return false;
      *target = current;
      return true;
    }
    if (!S_ISLNK(status.st_mode)) {
      *target = current;
      return true;
    }
    if (!MayFollow(current, status)) {
      *refusedLink = current;
      errno = EACCES;
      return false;
    }
    std::error_code error;
    const fs::path link = fs::read_symlink(current, error);
    if (error) {
      errno = error.value();
      return false;
    }
    current = link.is_absolute() ? link : current.parent_path() / link;
  }
  errno = ELOOP;
  return false;
}

// The end of a temporary name, from the kernel's random source.
bool TemporaryTag(std::string* tag) {
  unsigned char random[kTemporaryTagLength];
  size_t filled = 0;
  while (filled < sizeof random) {
    const ssize_t got = getrandom(random + filled, sizeof random - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += size_t(got);
  }
  tag->clear();
  for (unsigned char byte : random) tag->push_back(kTagCharacters[byte % (sizeof kTagCharacters - 1)]);
  return true;
}

// Whether `name` is the name of a temporary file a save made of `fileName`
// (".HOTKEY.CFG.<pid>.<tag>"), and of which process.
bool TemporaryOwner(const std::string& name, const std::string& fileName, pid_t* pid) {
  const std::string stem = "." + fileName + ".";
  if (name.compare(0, stem.size(), stem) != 0) return false;
  const size_t dot = name.find('.', stem.size());
  if (dot == std::string::npos || dot == stem.size() || dot - stem.size() > 9) return false;
  const std::string digits = name.substr(stem.size(), dot - stem.size());
  const std::string tag = name.substr(dot + 1);
  // Earlier saves ended the name with a counter; both kinds are ours.
  if (tag.empty() || tag.size() > kTemporaryTagLength) return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  for (char c : tag)
    if (!strchr(kTagCharacters, c)) return false;
  *pid = pid_t(std::stol(digits));
  return *pid > 0;
}

// Removes from `folder` the temporary files of saves whose process is gone: a
// save killed between creating its file and renaming it leaves one behind.
// Only the user's own regular files are touched; a process still there may
// be saving right now.
void RemoveStaleTemporaries(const std::filesystem::path& folder, const std::string& fileName) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (fs::directory_iterator it(folder.empty() ? "." : folder, error), end; !error && it != end;
       it.increment(error)) {
    pid_t pid;
    if (!TemporaryOwner(it->path().filename().string(), fileName, &pid)) continue;
    struct stat status;
    if (lstat(it->path().c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid()) continue;
    if (kill(pid, 0) == 0 || errno != ESRCH) continue;
    unlink(it->path().c_str());
  }
}

bool WriteAll(int fd, const void* bytes, size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written = currentFileCalls->write(fd, next, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // A regular file that takes nothing has no room left.
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    next += written;
    count -= size_t(written);
  }
  return true;
}

// A new file beside `target`, created only if its name is free, so that no
// existing file or link is ever written through; the name ends in a random tag
// that nobody can take first. Mode and owner follow the file it replaces; a
// new one gets what the umask allows, as a plain create would.
int CreateTemporary(const std::filesystem::path& target, const struct stat* replaced, std::string* name) {
  const std::string stem =
      (target.parent_path() / ("." + target.filename().string())).string() + "." + std::to_string(getpid()) + ".";
  for (unsigned attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::string tag;
    if (!TemporaryTag(&tag)) return -1;
    *name = stem + tag;
    int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd >= 0 && replaced) {
      fchmod(fd, replaced->st_mode & 07777);
      if (fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
        // Only root may give a file away; anyone else owns the new copy.
      }
    }
    return fd;
  }
  errno = EEXIST;
  return -1;
}

// Whether the user may write the file that is there, as a plain open for
// writing would decide (its mode, ACLs, a read-only mount): a save must not
// replace what it could not have overwritten.
bool MayWrite(const std::filesystem::path& target) {
  const int fd = open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Makes the rename itself durable. A folder that cannot be opened or does not
// take a sync (EINVAL) leaves the rename to the file system's own schedule.
bool SyncFolder(const std::filesystem::path& folder) {
  int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  const bool synced = currentFileCalls->fsync(fd) == 0 || errno == EINVAL;
  const int error = errno;
  close(fd);
  errno = error;
  return synced;
}

// Replaces `target` by the 80 bytes, or leaves it as it was: the bytes go to a
// temporary file beside it, which is synced and then renamed over it. Once the
// rename is done the keys are saved; `folderError` then receives the reason
// the folder could not be flushed (0 when it was).
bool ReplaceFile(const std::filesystem::path& target, const void* bytes, int* folderError) {
  struct stat replaced;
  const bool exists = stat(target.c_str(), &replaced) == 0;
  if (!exists && errno != ENOENT) return false;
  if (exists && !S_ISREG(replaced.st_mode)) {
    // A directory or a device is not the user's file; renaming over it would
    // destroy something else.
    errno = S_ISDIR(replaced.st_mode) ? EISDIR : ENOTSUP;
    return false;
  }
  if (exists && !MayWrite(target)) return false;
  std::string temporary;
  int fd = CreateTemporary(target, exists ? &replaced : nullptr, &temporary);
  if (fd < 0) return false;
  bool stored = WriteAll(fd, bytes, kConfigurationSize) && currentFileCalls->fsync(fd) == 0;
  int error = errno;
  // The close can report a write-back failure of its own.
  if (close(fd) != 0 && stored) {
    stored = false;
    error = errno;
  }
  if (stored && rename(temporary.c_str(), target.c_str()) != 0) {
    stored = false;
    error = errno;
  }
  if (!stored) {
    unlink(temporary.c_str());
    errno = error;
    return false;
  }
  *folderError = SyncFolder(target.parent_path()) ? 0 : errno;
  return true;
}

// Clears what killed saves left beside the file, and beside the file its link
// leads to, where a save puts its temporary file.
void RemoveStaleSaves(const char* path) {
  const std::filesystem::path named = path;
  const std::string fileName = named.filename().string();
  RemoveStaleTemporaries(named.parent_path(), fileName);
  std::filesystem::path target, refusedLink;
  const int error = errno;
  if (ResolveTarget(named, &target, &refusedLink) && target != named)
    RemoveStaleTemporaries(target.parent_path(), target.filename().string());
  errno = error;
}

}  // namespace

const HotKeyFileCalls& hotKeyFileCalls() { return *currentFileCalls; }

void setHotKeyFileCalls(const HotKeyFileCalls* calls) { currentFileCalls = calls ? calls : &kRealFileCalls; }

size_t HotKeyNameLength(const HOT_KEY& key) { return strnlen(key.name, sizeof key.name); }

bool SetHotKeyConfiguration(HOT_KEY* hotKeys, std::string* failure) {
  char path[256 + sizeof kFileName + 1];
  if (!BuildPath(path)) {
    const int error = errno;
    ReportNoPath(error);
    if (failure) *failure = std::string("cannot locate ") + kFileName + " in the working folder: " + strerror(error);
    return false;
  }
  HOT_KEY stored[2];
  memcpy(stored, hotKeys, sizeof stored);
  for (HOT_KEY& key : stored) key.code = StoredCode(key.code);

  std::filesystem::path target = path;
  std::filesystem::path refusedLink;
  int folderError = 0;
  if (ResolveTarget(path, &target, &refusedLink) && ReplaceFile(target, stored, &folderError)) {
    if (folderError != 0)
      fprintf(stderr, "portvane: saved %s, but its folder could not be flushed: %s\n", target.c_str(),
              strerror(folderError));
    return true;
  }
  const int error = errno;
  const std::string reason =
      refusedLink.empty()
          ? "cannot write " + target.string() + ": " + strerror(error)
          : "cannot write " + refusedLink.string() +
                ": it is a symbolic link another user made in a folder anyone may write; it is not followed";
  fprintf(stderr, "portvane: %s\n", reason.c_str());
  if (failure) *failure = reason;
  return false;
}

bool GetHotKeyConfiguration(HOT_KEY* hotKeys) {
  char path[256 + sizeof kFileName + 1];
  // Only a file that is missing or short is replaced by the defaults; one that
  // is there but cannot be read keeps the user's keys for a later run.
  bool writeDefaults = false;
  const bool located = BuildPath(path);
  if (located) RemoveStaleSaves(path);
  if (!located) {
    ReportNoPath(errno);
  } else if (FILE* file = fopen(path, "rb")) {
    size_t read = fread(hotKeys, 1, kConfigurationSize, file);
    const bool failed = ferror(file);
    const int error = errno;
    fclose(file);
    if (read == kConfigurationSize) {
      for (int n = 0; n < 2; ++n) hotKeys[n].code = StoredCode(hotKeys[n].code);
      return true;
    }
    if (failed) {
      fprintf(stderr, "portvane: cannot read %s: %s; the default hot keys are used for this run\n", path,
              strerror(error));
    } else {
      writeDefaults = true;
    }
  } else if (errno == ENOENT) {
    writeDefaults = true;
  } else {
    fprintf(stderr, "portvane: cannot read %s: %s; the default hot keys are used for this run\n", path,
            strerror(errno));
  }
  for (int n = 0; n < 2; ++n) {
    memset(&hotKeys[n], 0, sizeof hotKeys[n]);
    hotKeys[n].code = 18 + n;
    snprintf(hotKeys[n].name, sizeof hotKeys[n].name, "%d", n + 1);
  }
  if (writeDefaults) SetHotKeyConfiguration(hotKeys);
  return false;
}
