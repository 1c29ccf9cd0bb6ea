// Where the main bundle's resources live: share/portvane of the prefix the
// executable is installed in (or the copy at the top of its build tree), unless
// a directory is given. Tests point it at a directory of their own.
#pragma once

#include <string>

namespace platform {

void setBundleResourcesDirectory(const std::string& path);
const std::string& bundleResourcesDirectory();
// The prefix the running program is installed in (/usr, /usr/local): the
// folder above the bin/ it runs from, with share/portvane beside it. Empty for
// a program run from a build tree.
std::string installedPrefix();
// Localized strings: key -> text, as the bundle's table provides them.
void setLocalizedString(const std::string& key, const std::string& text);
void clearLocalizedStrings();
// The table's text for `key`; false when the table has none.
bool localizedString(const std::string& key, std::string* text);

}  // namespace platform
