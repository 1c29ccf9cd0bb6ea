#include "platform/core/bundle.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

namespace platform {

namespace {

namespace fs = std::filesystem;

// Where the resources sit below a prefix: share/portvane beside bin/.
constexpr const char* kResourcesBelowPrefix = "share/portvane";
// An installed program finds them one folder up (/usr/bin -> /usr/share/portvane).
// A build tree keeps a copy at its top: its programs find it one folder up too,
// the test programs, in the folders that mirror the tree, up to three further.
constexpr int kFoldersUp = 4;

// Where the running executable is; empty when the kernel does not say.
fs::path executablePath() {
  std::error_code error;
  fs::path executable = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : executable;
}

// Found from where the running executable is, so that a build tree, /usr/local
// and /usr all work and the tree can be moved or packaged. When none is there,
// the installed place, so that what is missing names where it was looked for.
std::string findResourcesDirectory() {
  std::error_code error;
  const fs::path executable = executablePath();
  if (executable.empty()) return kResourcesBelowPrefix;
  fs::path prefix = executable.parent_path().parent_path();
  const fs::path installed = prefix / kResourcesBelowPrefix;
  for (int up = 0; up < kFoldersUp && !prefix.empty(); ++up) {
    const fs::path candidate = prefix / kResourcesBelowPrefix;
    if (fs::is_directory(candidate, error)) return candidate.string();
    if (prefix == prefix.root_path()) break;
    prefix = prefix.parent_path();
  }
  return installed.string();
}

std::string& resourcesDirectory() {
  static std::string directory = findResourcesDirectory();
  return directory;
}

std::mutex& tableMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, std::string>& localizedTable() {
  static std::map<std::string, std::string> table;
  return table;
}

}  // namespace

void setBundleResourcesDirectory(const std::string& path) { resourcesDirectory() = path; }

std::string installedPrefix() {
  const fs::path folder = executablePath().parent_path();
  // A build tree keeps its programs in folders named after their sources, never bin/.
  if (folder.filename() != "bin") return std::string();
  std::error_code error;
  const fs::path prefix = folder.parent_path();
  return fs::is_directory(prefix / kResourcesBelowPrefix, error) ? prefix.string() : std::string();
}

const std::string& bundleResourcesDirectory() { return resourcesDirectory(); }

void setLocalizedString(const std::string& key, const std::string& text) {
  std::lock_guard<std::mutex> lock(tableMutex());
  localizedTable()[key] = text;
}

void clearLocalizedStrings() {
  std::lock_guard<std::mutex> lock(tableMutex());
  localizedTable().clear();
}

bool localizedString(const std::string& key, std::string* text) {
  std::lock_guard<std::mutex> lock(tableMutex());
  auto it = localizedTable().find(key);
  if (it == localizedTable().end()) return false;
  if (text) *text = it->second;
  return true;
}

}  // namespace platform
