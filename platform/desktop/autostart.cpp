#include "platform/desktop/autostart.h"

#include <glib.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/core/core_foundation.h"
#include "platform/desktop/autostart_testing.h"
#include "platform/ui/windows.h"

namespace {

constexpr char kEntryName[] = "io.github.portvane.Portvane.desktop";
constexpr char kGroup[] = "Desktop Entry";

constexpr char kProgramName[] = "portvane";
// What the session runs at login: the desktop launch, which keeps the hot
// keys in the user's configuration folder and leaves the poll line out.
constexpr char kLaunchOption[] = " --desktop";
constexpr char kEntryHead[] =
    "[Desktop Entry]\n"
    "Type=Application\n"
    "Name=Portvane\n"
    "Comment=Switch between computers on the USB KVM switch from the tray\n";
constexpr char kEntryTail[] =
    "Icon=io.github.portvane.Portvane\n"
    "Terminal=false\n"
    "X-GNOME-Autostart-enabled=true\n";

// Tests: the program that writes the entry, instead of this process's.
std::string runningProgramForTest;

QString runningProgram() {
  if (!runningProgramForTest.empty()) return QString::fromStdString(runningProgramForTest);
  // The kernel's own word for this process's file, whatever argv says.
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? QCoreApplication::applicationFilePath() : QString::fromStdString(self.string());
}

// One argument as an Exec key's value holds it: quoted where it has a
// reserved character, with '"', '`', '$' and '\' escaped inside the quotes,
// and '%' doubled, since '%' starts a field code.
QString execArgument(const QString& argument) {
  static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
  const bool quote = argument.isEmpty() || std::any_of(argument.begin(), argument.end(), [](QChar c) {
                       return reserved.contains(c);
                     });
  QString text;
  for (const QChar c : argument) {
    if (c == QLatin1Char('%')) {
      text += QStringLiteral("%%");
    } else if (quote && (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                         c == QLatin1Char('\\'))) {
      text += QLatin1Char('\\') + c;
    } else {
      text += c;
    }
  }
  return quote ? QLatin1Char('"') + text + QLatin1Char('"') : text;
}

// The string escapes of a desktop entry's value, undone before the Exec
// rules are read: a backslash written twice, control characters by name.
QString entryValue(const QString& value) {
  QString text;
  for (const QChar c : value) {
    if (c == QLatin1Char('\\')) {
      text += QStringLiteral("\\\\");
    } else if (c == QLatin1Char('\n')) {
      text += QStringLiteral("\\n");
    } else if (c == QLatin1Char('\t')) {
      text += QStringLiteral("\\t");
    } else if (c == QLatin1Char('\r')) {
      text += QStringLiteral("\\r");
    } else {
      text += c;
    }
  }
  return text;
}

// "portvane" where PATH finds this very program by that name; its absolute
// path otherwise (a build tree, an unpacked copy, another installation).
QString programCommand() {
  const QString running = runningProgram();
  const QString onPath = QStandardPaths::findExecutable(QString::fromLatin1(kProgramName));
  const QString canonical = QFileInfo(running).canonicalFilePath();
  if (!onPath.isEmpty() && !canonical.isEmpty() && QFileInfo(onPath).canonicalFilePath() == canonical) {
    return QString::fromLatin1(kProgramName);
  }
  return execArgument(canonical.isEmpty() ? running : canonical);
}

QByteArray entryText() {
  return QByteArray(kEntryHead) + "Exec=" + entryValue(programCommand()).toUtf8() + kLaunchOption + "\n" + kEntryTail;
}

std::string autostartFolder() { return platform::userConfigFolder() + "/autostart"; }

void report(const std::string& path, const std::string& reason, bool start) {
  fprintf(stderr, "portvane: cannot %s %s: %s\n", start ? "write" : "remove", path.c_str(), reason.c_str());
  const std::string text = (start ? "Cannot write " : "Cannot remove ") + path + ": " + reason + ".";
  CFStringRef message = CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
  CFUserNotificationDisplayNotice(0, kCFUserNotificationCautionAlertLevel, nullptr, nullptr, nullptr,
                                  start ? CFSTR("Portvane could not be set to start at login.")
                                        : CFSTR("Portvane could not be kept from starting at login."),
                                  message, nullptr);
  if (message) CFRelease(message);
}

// The folder made where missing; the reason when it cannot be.
bool makeFolder(const std::string& folder, std::string* reason) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (std::filesystem::is_directory(folder)) return true;
  // Something that is not a folder is in the way (create_directories says only that it exists).
  *reason = std::filesystem::exists(folder) ? strerror(ENOTDIR) : error.message();
  return false;
}

bool writeEntry(const std::string& path) {
  std::string reason;
  if (!makeFolder(autostartFolder(), &reason)) {
    report(path, reason, true);
    return false;
  }
  // A temporary file beside the entry, synced and renamed over it: the entry
  // is the old one or the new one, never half written.
  QSaveFile file(QString::fromStdString(path));
  const QByteArray entry = entryText();
  if (!file.open(QIODevice::WriteOnly) || file.write(entry) != entry.size() || !file.commit()) {
    report(path, file.errorString().toStdString(), true);
    return false;
  }
  return true;
}

bool removeEntry(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    report(path, strerror(errno), false);
    return false;
  }
  return true;
}

}  // namespace

namespace platform {

std::string userConfigFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString();
}

std::string autostartEntryPath() { return autostartFolder() + "/" + kEntryName; }

bool startsAtLogin() {
  GKeyFile* file = g_key_file_new();
  bool on = false;
  if (g_key_file_load_from_file(file, autostartEntryPath().c_str(), G_KEY_FILE_NONE, nullptr) &&
      g_key_file_has_group(file, kGroup)) {
    // A key that is missing, or not a boolean, leaves the entry on, as the session reads it.
    const auto flag = [file](const char* key, bool missing) {
      GError* error = nullptr;
      const gboolean value = g_key_file_get_boolean(file, kGroup, key, &error);
      if (error) {
        g_error_free(error);
        return missing;
      }
      return value != FALSE;
    };
    on = !flag("Hidden", false) && flag("X-GNOME-Autostart-enabled", true);
  }
  g_key_file_free(file);
  return on;
}

bool setStartAtLogin(bool start) {
  const std::string path = autostartEntryPath();
  return start ? writeEntry(path) : removeEntry(path);
}

void useRunningProgramForTest(const std::string& path) { runningProgramForTest = path; }

}  // namespace platform
