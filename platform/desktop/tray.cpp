#include "platform/desktop/tray.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdio>
#include <string>

#include "platform/core/bundle.h"
#include "platform/desktop/autostart.h"
#include "platform/icons/icons.h"
#include "platform/ui/carbon_events.h"

namespace {

constexpr int kIconSide = 128;
constexpr int kTrayWatchMilliseconds = 2000;

struct Tray {
  MenuRef dockMenu = nullptr;
  // The tray appears once there is something of the application's to show.
  bool wanted = false;
  QPointer<QSystemTrayIcon> icon;
  // What the tray shows on right click: the Dock menu's own actions, shared,
  // then the Dock's items. The Dock menu itself keeps only its own items.
  QMenu* menu = nullptr;
  QAction* separator = nullptr;
  QAction* startAtLogin = nullptr;
  QAction* preferences = nullptr;
  QAction* quit = nullptr;
  QPointer<QTimer> trayWatch;
};

// Never destroyed: the tray lives as long as the process.
Tray& tray() {
  static Tray& t = *new Tray;
  return t;
}

bool haveWidgets() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

// The application's own picture through the same icon-file path as every
// tile picture; the artwork's PNG only when the icon file cannot be read.
QImage loadIconFile(const std::string& path) {
  FSSpec fileSpec{};
  if (path.size() >= sizeof fileSpec.path) return {};
  path.copy(fileSpec.path, path.size());
  IconRef ref = nullptr;
  if (RegisterIconRefFromIconFile(FOUR_CHAR_CODE("PVNE"), FOUR_CHAR_CODE("vnic"), &fileSpec, &ref) != noErr) return {};
  QImage picture;
  IconFamilyHandle family = nullptr;
  Handle data = NewHandle(0);
  Handle mask = NewHandle(0);
  GWorldPtr dataWorld = nullptr;
  GWorldPtr maskWorld = nullptr;
  CGImageRef image = nullptr;
  const Rect bounds = {0, 0, kIconSide, kIconSide};
  if (IconRefToIconFamily(ref, kSelectorAllAvailableData, &family) == noErr && data && mask &&
      GetIconFamilyData(family, kThumbnail32BitData, data) == noErr &&
      GetIconFamilyData(family, kThumbnail8BitMask, mask) == noErr &&
      NewGWorldFromPtr(&dataWorld, 32, &bounds, nullptr, nullptr, 0, *data, kIconSide * 4) == noErr &&
      NewGWorldFromPtr(&maskWorld, 8, &bounds, nullptr, nullptr, 0, *mask, kIconSide) == noErr &&
      CreateCGImageFromPixMaps(GetGWorldPixMap(dataWorld), GetGWorldPixMap(maskWorld), &image) == noErr) {
    picture = platform::cgImageContents(image).copy();
  }
  CGImageRelease(image);
  if (maskWorld) DisposeGWorld(maskWorld);
  if (dataWorld) DisposeGWorld(dataWorld);
  DisposeHandle(mask);
  DisposeHandle(data);
  DisposeHandle(reinterpret_cast<Handle>(family));
  ReleaseIconRef(ref);
  return picture;
}

const QImage& applicationPicture() {
  static const QImage picture = [] {
    const std::string resources = platform::bundleResourcesDirectory();
    QImage image = loadIconFile(resources + "/portvane.icns");
    if (image.isNull()) image.load(QString::fromStdString(resources + "/artwork/portvane.png"));
    return image;
  }();
  return picture;
}

// As a menu item's choice, from no menu of the application's own.
void postCommand(UInt32 commandID) {
  EventRef event = nullptr;
  if (CreateEvent(nullptr, kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), kEventAttributeUserEvent,
                  &event) != noErr) {
    return;
  }
  HICommandExtended command{};
  command.attributes = kHICommandFromMenu;
  command.commandID = commandID;
  SetEventParameter(event, kEventParamDirectObject, typeHICommand, sizeof command, &command);
  platform::postEventToTarget(event, GetApplicationEventTarget());
  ReleaseEvent(event);
}

void postApplicationShown() {
  EventRef event = nullptr;
  if (CreateEvent(nullptr, kEventClassApplication, kEventAppShown, GetCurrentEventTime(), kEventAttributeUserEvent,
                  &event) != noErr) {
    return;
  }
  PostEventToQueue(GetMainEventQueue(), event, kEventPriorityStandard);
  ReleaseEvent(event);
}


// A choice in the tray menu. A Dock menu item is shared with the Dock menu,
// which posts its command itself as for any of its items; the Dock's own
// items go to the application.
void menuChosen(QAction* action) {
  Tray& t = tray();
  if (action == t.preferences || action == t.quit) {
    postCommand(platform::commandProperty(action));
  } else if (action == t.startAtLogin) {
    // The click has flipped the mark; the entry as it now is has the last word.
    platform::setStartAtLogin(action->isChecked());
    action->setChecked(platform::startsAtLogin());
  }
}

// Before each opening: the application brings the Dock menu up to date, then
// the tray menu takes the Dock menu's items as they are now.
void prepareMenu() {
  Tray& t = tray();
  if (t.dockMenu && platform::menuWidget(t.dockMenu)) platform::sendMenuPopulate(t.dockMenu);
  for (QAction* action : t.menu->actions()) t.menu->removeAction(action);
  if (QMenu* dock = platform::menuWidget(t.dockMenu)) {
    t.menu->addActions(dock->actions());
    t.menu->addAction(t.separator);
  }
  t.startAtLogin->setChecked(platform::startsAtLogin());
  t.menu->addAction(t.startAtLogin);
  t.menu->addAction(t.preferences);
  t.menu->addAction(t.quit);
}

QMenu* trayMenu() {
  Tray& t = tray();
  if (!t.menu) {
    t.menu = new QMenu;
    t.separator = new QAction(t.menu);
    t.separator->setSeparator(true);
    t.startAtLogin = new QAction(QStringLiteral("Start at Login"), t.menu);
    t.startAtLogin->setCheckable(true);
    t.preferences = new QAction(QStringLiteral("Preferences\u2026"), t.menu);
    t.preferences->setProperty("command", QStringLiteral("pref"));
    t.quit = new QAction(QStringLiteral("Quit"), t.menu);
    t.quit->setProperty("command", QStringLiteral("quit"));
    QObject::connect(t.menu, &QMenu::aboutToShow, t.menu, prepareMenu);
    QObject::connect(t.menu, &QMenu::triggered, t.menu, menuChosen);
  }
  return t.menu;
}

void iconActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::Trigger) postApplicationShown();
}

void showInTray();

// A desktop's tray host may start after the program (a session's autostart
// does not wait for the panel): look again now and then until one is there.
void watchForTray() {
  Tray& t = tray();
  if (!t.trayWatch) {
    t.trayWatch = new QTimer(QCoreApplication::instance());
    QObject::connect(t.trayWatch, &QTimer::timeout, t.trayWatch, showInTray);
  }
  if (!t.trayWatch->isActive()) t.trayWatch->start(kTrayWatchMilliseconds);
}

void showInTray() {
  Tray& t = tray();
  if (!t.wanted || !haveWidgets()) return;
  if (!t.icon) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
      watchForTray();
      return;
    }
    if (t.trayWatch) t.trayWatch->stop();
    t.icon = new QSystemTrayIcon;
    t.icon->setContextMenu(trayMenu());
    t.icon->setToolTip(QStringLiteral("Portvane"));
    QObject::connect(t.icon, &QSystemTrayIcon::activated, t.icon, iconActivated);
  }
  t.icon->setIcon(QIcon(QPixmap::fromImage(platform::trayIconImage())));
  t.icon->show();
}

// The picture changed, or the tray is wanted now.
void refresh() {
  if (!haveWidgets()) return;
  QApplication::setWindowIcon(QIcon(QPixmap::fromImage(platform::trayIconImage())));
  showInTray();
}

void tileChanged(const QImage& image) {
  if (!image.isNull()) tray().wanted = true;
  refresh();
}

// The tile image may change from the first moment the application exists; the
// windows carry the application's picture from the start.
void watchTile() {
  platform::setDockTileImageListener(tileChanged);
  QMetaObject::invokeMethod(QCoreApplication::instance(), refresh, Qt::QueuedConnection);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(watchTile)

OSStatus SetApplicationDockTileMenu(MenuRef inMenu) {
  if (inMenu && !platform::menuWidget(inMenu)) return paramErr;
  Tray& t = tray();
  t.dockMenu = inMenu;
  if (inMenu) t.wanted = true;
  refresh();
  return noErr;
}

MenuRef GetApplicationDockTileMenu() { return tray().dockMenu; }

namespace platform {

QImage trayIconImage() {
  const QImage& tile = dockTileImage();
  return tile.isNull() ? applicationPicture() : tile;
}

QMenu* openTrayMenuForTest() {
  QMenu* menu = trayMenu();
  emit menu->aboutToShow();
  return menu;
}

void clickTrayIconForTest() { iconActivated(QSystemTrayIcon::Trigger); }

}  // namespace platform
