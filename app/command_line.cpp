#include "app/command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <cstring>

#include "platform/desktop/display_check.h"

#ifndef PORTVANE_VERSION
#define PORTVANE_VERSION "0"
#endif

namespace {

// The process's exit statuses for the command line, as shells and init systems read them.
constexpr int kExitRun = 0;
constexpr int kExitNoSession = 1;
constexpr int kExitUsage = 2;

CommandLine& programCommandLine() {
  static CommandLine options;
  return options;
}

bool isDemo(const char* program) { return std::strcmp(program, "portvane-demo") == 0; }

void printUsage(FILE* stream, const char* program) {
  fprintf(stream, "Usage: %s [--desktop] [--verbose]\n", program);
}

void printHelp(const char* program) {
  printUsage(stdout, program);
  if (isDemo(program)) {
    printf("The Portvane tray program with a simulated two-port KVM switch plugged in, and\n"
           "its front panel on a display; headless (QT_QPA_PLATFORM=offscreen) it prints\n"
           "every command the switch receives.\n");
  } else {
    printf("Switches a two-port USB KVM switch between its computers from the tray menu\n"
           "or a global hot key, and shows the active computer as the tray picture.\n");
  }
  printf("\n"
         "Options:\n"
         "  --desktop   started by the desktop entry or at login: HOTKEY.CFG is kept in\n"
         "              $XDG_CONFIG_HOME/portvane/ instead of the current folder, and\n"
         "              the line printed on every poll is left out\n"
         "  --verbose   print every diagnostic line, also with --desktop\n"
         "              (PORTVANE_VERBOSE=1 does the same)\n"
         "  -h, --help  print this help and exit\n"
         "  --version   print the version and exit\n");
}

bool isSet(const char* name) { return !qEnvironmentVariableIsEmpty(name); }

// Why the display server of one of Qt's platforms will not serve, or empty
// when it will. Qt aborts the process when none does.
QString unanswered(const QString& platform) {
  if (platform == QStringLiteral("xcb")) {
    if (!isSet("DISPLAY")) return QStringLiteral("DISPLAY is not set");
    const QString display = qEnvironmentVariable("DISPLAY");
    if (platform::xServerAnswers(display.toStdString())) return QString();
    return QStringLiteral("no X server answers on DISPLAY \"%1\"").arg(display);
  }
  if (platform.startsWith(QStringLiteral("wayland"))) {
    // A compositor that handed its socket over has already answered.
    if (isSet("WAYLAND_SOCKET")) return QString();
    if (!isSet("WAYLAND_DISPLAY")) return QStringLiteral("WAYLAND_DISPLAY is not set");
    const QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (platform::waylandCompositorAnswers(display.toStdString())) return QString();
    return QStringLiteral("no Wayland compositor answers on WAYLAND_DISPLAY \"%1\"").arg(display);
  }
  // offscreen, minimal, vnc, linuxfb, eglfs: no session server needed.
  return QString();
}

// The platforms Qt tries, in its order: those QT_QPA_PLATFORM lists
// ("wayland;xcb", each with options after a colon, "xcb:nograb"), or else
// Wayland where the session is one, then X.
QStringList platformsTried() {
  const QString asked = qEnvironmentVariable("QT_QPA_PLATFORM");
  QStringList platforms;
  if (!asked.isEmpty()) {
    for (const QString& entry : asked.split(u';', Qt::SkipEmptyParts)) platforms << entry.section(u':', 0, 0);
    return platforms;
  }
  if (isSet("WAYLAND_DISPLAY") || qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland")) {
    platforms << QStringLiteral("wayland");
  }
  platforms << QStringLiteral("xcb");
  return platforms;
}

// Whether Qt will find a graphical session, asked before it aborts without one.
// An empty reason means it will.
QString missingSession() {
  const bool x = isSet("DISPLAY");
  const bool wayland = isSet("WAYLAND_DISPLAY");
  const QString platforms = qEnvironmentVariable("QT_QPA_PLATFORM");
  if (platforms.isEmpty() && !x && !wayland) return QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set");
  const QStringList tried = platformsTried();
  if (tried.isEmpty()) return QStringLiteral("QT_QPA_PLATFORM names no platform");
  QStringList reasons;
  for (const QString& platform : tried) {
    const QString reason = unanswered(platform);
    if (reason.isEmpty()) return QString();
    if (!reasons.contains(reason)) reasons << reason;
  }
  const QString asked = platforms.isEmpty() ? QString() : QStringLiteral("QT_QPA_PLATFORM is \"%1\" and ").arg(platforms);
  // Neither variable set, for a list that wants both.
  if (reasons == QStringList{QStringLiteral("WAYLAND_DISPLAY is not set"), QStringLiteral("DISPLAY is not set")} ||
      reasons == QStringList{QStringLiteral("DISPLAY is not set"), QStringLiteral("WAYLAND_DISPLAY is not set")}) {
    return asked + QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set");
  }
  return asked + reasons.join(QStringLiteral(" and "));
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(int argc, char* argv[], const char* program, int* exitStatus) {
  int unused = kExitRun;
  int& status = exitStatus ? *exitStatus : unused;
  status = kExitRun;

  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  if (arguments.isEmpty()) arguments << QString::fromUtf8(program);

  QCommandLineParser parser;
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringLiteral("version"));
  const QCommandLineOption desktop(QStringLiteral("desktop"));
  const QCommandLineOption verbose(QStringLiteral("verbose"));
  parser.addOptions({help, version, desktop, verbose});

  QString error;
  if (!parser.parse(arguments)) {
    error = parser.errorText();
  } else if (!parser.positionalArguments().isEmpty()) {
    error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst());
  }
  if (!error.isEmpty()) {
    fprintf(stderr, "%s: %s\n", program, error.toLocal8Bit().constData());
    printUsage(stderr, program);
    fprintf(stderr, "Try '%s --help' for more information.\n", program);
    status = kExitUsage;
    return std::nullopt;
  }
  if (parser.isSet(help)) {
    printHelp(program);
    return std::nullopt;
  }
  if (parser.isSet(version)) {
    printf("%s %s\n", program, PORTVANE_VERSION);
    return std::nullopt;
  }

  const QString missing = missingSession();
  if (!missing.isEmpty()) {
    fprintf(stderr, "%s: no graphical session: %s%s\n", program, missing.toLocal8Bit().constData(),
            isDemo(program) ? " (QT_QPA_PLATFORM=offscreen runs it headless)" : "");
    status = kExitNoSession;
    return std::nullopt;
  }

  CommandLine options;
  options.desktopLaunch = parser.isSet(desktop);
  const QByteArray verboseVariable = qgetenv("PORTVANE_VERBOSE");
  options.verbose = parser.isSet(verbose) || (!verboseVariable.isEmpty() && verboseVariable != "0");
  programCommandLine() = options;
  return options;
}

const CommandLine& ProgramCommandLine() { return programCommandLine(); }
