#include "platform/desktop/tray.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/bundle.h"
#include "platform/desktop/autostart.h"
#include "platform/desktop/tray_testing.h"
#include "platform/desktop/tray_window.h"
#include "platform/icons/icons.h"
#include "platform/ui/carbon_events.h"

namespace {

constexpr int kIconSide = 128;
constexpr int kTrayWatchMilliseconds = 2000;
// The five pictures the program shows (its own and one per computer) and a
// few to spare: each is turned into an icon once and then reused.
constexpr size_t kPictureCacheSize = 8;

// One picture in the forms the desktop shows it.
struct Picture {
  QImage image;
  QIcon icon;
  QPixmap small;  // for the stand-in window
};

struct Tray {
  MenuRef dockMenu = nullptr;
  // The tray appears once there is something of the application's to show.
  bool wanted = false;
  // Where the application is shown: the tray icon or, without a tray, the
  // stand-in window; neither until it is wanted.
  bool placed = false;
  bool inTray = false;
  QPointer<QSystemTrayIcon> icon;
  QPointer<platform::TrayWindow> window;
  // What the tray shows on right click: the application's state, the Dock
  // menu's own actions, shared, then the Dock's items. The Dock menu itself
  // keeps only its own items.
  QMenu* menu = nullptr;
  QAction* statusLine = nullptr;
  QAction* statusSeparator = nullptr;
  QAction* separator = nullptr;
  QAction* startAtLogin = nullptr;
  bool startAtLoginOffered = true;
  QAction* preferences = nullptr;
  QAction* quit = nullptr;
  // The application's state, as it last said; empty until it says it.
  QString status;
  QString notes;
  QPointer<QTimer> trayWatch;
  // Most recently shown last.
  std::vector<Picture> pictures;
  // Tests: whether a tray is there, instead of asking the desktop.
  std::function<bool()> trayAvailable;
};

// Never destroyed: the tray lives as long as the process.
Tray& tray() {
  static Tray& t = *new Tray;
  return t;
}

bool haveWidgets() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

bool systemTrayAvailable() {
  const Tray& t = tray();
  return t.trayAvailable ? t.trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
}

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
  HICommandExtended command{};
  command.attributes = kHICommandFromMenu;
  command.commandID = commandID;
  platform::postCommandEvent(command, GetApplicationEventTarget());
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


// The picture in the forms the desktop shows it, made the first time it is
// shown and kept: a change of computer costs a lookup, not a new pixmap.
const Picture& pictureFor(const QImage& image) {
  std::vector<Picture>& pictures = tray().pictures;
  for (auto it = pictures.begin(); it != pictures.end(); ++it) {
    if (it->image == image) {
      std::rotate(it, it + 1, pictures.end());
      return pictures.back();
    }
  }
  if (pictures.size() >= kPictureCacheSize) pictures.erase(pictures.begin());
  const QPixmap pixmap = QPixmap::fromImage(image);
  const int side = platform::TrayWindow::kPictureSide;
  pictures.push_back({image, QIcon(pixmap),
                      pixmap.isNull() ? pixmap : pixmap.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)});
  return pictures.back();
}

// ---- The tray menu

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
  // The application's state heads the menu, a line that cannot be chosen.
  if (!t.status.isEmpty()) {
    t.menu->addAction(t.statusLine);
    t.menu->addAction(t.statusSeparator);
  }
  if (QMenu* dock = platform::menuWidget(t.dockMenu)) {
    t.menu->addActions(dock->actions());
    t.menu->addAction(t.separator);
  }
  if (t.startAtLoginOffered) {
    t.startAtLogin->setChecked(platform::startsAtLogin());
    t.menu->addAction(t.startAtLogin);
  }
  t.menu->addAction(t.preferences);
  t.menu->addAction(t.quit);
}

QMenu* trayMenu() {
  Tray& t = tray();
  if (!t.menu) {
    t.menu = new QMenu;
    t.statusLine = new QAction(t.status, t.menu);
    t.statusLine->setEnabled(false);
    t.statusSeparator = new QAction(t.menu);
    t.statusSeparator->setSeparator(true);
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

// ---- Tray icon or stand-in window

void iconActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::Trigger) postApplicationShown();
}

QString toolTip() {
  const Tray& t = tray();
  QString text = QStringLiteral("Portvane");
  if (!t.status.isEmpty()) text += QLatin1Char('\n') + t.status;
  if (!t.notes.isEmpty()) text += QLatin1Char('\n') + t.notes;
  return text;
}

// The picture and the state where the application is shown now.
void showPicture() {
  Tray& t = tray();
  const Picture& picture = pictureFor(platform::trayIconImage());
  if (t.icon && t.inTray) t.icon->setIcon(picture.icon);
  if (t.window && !t.inTray) t.window->setPicture(picture.small);
}

void showStatus() {
  Tray& t = tray();
  if (t.statusLine) t.statusLine->setText(t.status);
  if (t.icon) t.icon->setToolTip(toolTip());
  if (t.window) t.window->setStatus(t.status, t.notes);
}

// The tray icon while the desktop has a tray, the stand-in window while it
// has none.
void place(bool inTray) {
  Tray& t = tray();
  t.inTray = inTray;
  if (inTray) {
    if (!t.icon) {
      t.icon = new QSystemTrayIcon;
      t.icon->setContextMenu(trayMenu());
      QObject::connect(t.icon, &QSystemTrayIcon::activated, t.icon, iconActivated);
    }
    if (t.window) t.window->hide();
  } else {
    if (t.icon) t.icon->hide();
    // Without a display (Qt's offscreen platform: the headless demo) there is
    // nobody to show a window to; a test that says whether a tray is there
    // gets one all the same.
    if (!t.window && !t.trayAvailable && QGuiApplication::platformName() == QLatin1String("offscreen")) {
      t.placed = false;
      return;
    }
    if (!t.window) {
      t.window = new platform::TrayWindow(
          trayMenu(), [] { postCommand(platform::commandProperty(tray().preferences)); },
          [] { postCommand(platform::commandProperty(tray().quit)); });
    }
  }
  t.placed = true;
  showPicture();
  showStatus();
  if (inTray) {
    t.icon->show();
  } else {
    t.window->show();
  }
}

// A desktop's tray host may start after the program (a session's autostart
// does not wait for the panel) or go away: look again now and then, and move
// to the tray or to the stand-in window when that changed.
void followTray() {
  Tray& t = tray();
  const bool available = systemTrayAvailable();
  if (!t.placed || available != t.inTray) place(available);
}

void watchForTray() {
  Tray& t = tray();
  if (!t.trayWatch) {
    t.trayWatch = new QTimer(QCoreApplication::instance());
    QObject::connect(t.trayWatch, &QTimer::timeout, t.trayWatch, followTray);
  }
  if (!t.trayWatch->isActive()) t.trayWatch->start(kTrayWatchMilliseconds);
}

// The picture changed, or the tray is wanted now.
void refresh() {
  if (!haveWidgets()) return;
  QApplication::setWindowIcon(pictureFor(platform::trayIconImage()).icon);
  Tray& t = tray();
  if (!t.wanted) return;
  if (t.placed) {
    showPicture();
  } else {
    followTray();
    watchForTray();
  }
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

void setTrayStatus(const std::string& status, const std::string& notes) {
  Tray& t = tray();
  const QString newStatus = QString::fromStdString(status);
  const QString newNotes = QString::fromStdString(notes);
  if (newStatus == t.status && newNotes == t.notes) return;
  t.status = newStatus;
  t.notes = newNotes;
  showStatus();
}

QString trayToolTip() { return toolTip(); }

void offerStartAtLogin(bool offered) { tray().startAtLoginOffered = offered; }

void setSystemTrayAvailabilityForTest(std::function<bool()> available) {
  tray().trayAvailable = std::move(available);
}

void lookForTrayForTest() {
  if (tray().wanted && haveWidgets()) followTray();
}

bool trayIconShownForTest() {
  const Tray& t = tray();
  return t.icon && t.inTray && t.icon->isVisible();
}

QWidget* trayWindowForTest() { return tray().window; }

}  // namespace platform
