#include "platform/core/bundle.h"

#include <map>
#include <mutex>

#ifndef PORTVANE_RESOURCES_DIR
#define PORTVANE_RESOURCES_DIR "resources"
#endif

namespace platform {

namespace {

std::string& resourcesDirectory() {
  static std::string directory = PORTVANE_RESOURCES_DIR;
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
