// The Dock as a tray icon: its menu (populate request, the application's
// state, the Dock's own items, the commands they send), a click, the tooltip,
// the picture it shows and the windows' icon, and the window that stands in
// for the tray where the desktop has none.
#include "platform/desktop/tray.h"
#include "platform/desktop/tray_testing.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <functional>
#include <string>
#include <vector>

#include "platform/core/main_queue.h"
#include "platform/icons/icons.h"
#include "tests/support/framework_test_app.h"

namespace {

const std::string kArtwork = std::string(PORTVANE_SOURCE_DIR) + "/resources/artwork";

// What reached the application target, in order.
struct Delivery {
  UInt32 eventClass;
  UInt32 kind;
  MenuRef menu = nullptr;
  HICommandExtended command{};
};

class ApplicationRecorder {
 public:
  ApplicationRecorder() {
    const EventTypeSpec types[] = {{kEventClassMenu, kEventMenuPopulate},
                                   {kEventClassCommand, kEventCommandProcess},
                                   {kEventClassApplication, kEventAppShown}};
    InstallEventHandler(GetApplicationEventTarget(), Record, 3, types, this, &handler_);
  }
  ~ApplicationRecorder() { RemoveEventHandler(handler_); }

  std::vector<Delivery> deliveries;
  // Run while the menu is being populated, as the application's update would.
  std::function<void(MenuRef)> onPopulate;

 private:
  static OSStatus Record(EventHandlerCallRef, EventRef event, void* self) {
    auto* recorder = static_cast<ApplicationRecorder*>(self);
    Delivery delivery{GetEventClass(event), GetEventKind(event)};
    if (delivery.eventClass == kEventClassMenu) {
      GetEventParameter(event, kEventParamDirectObject, typeMenuRef, nullptr, sizeof delivery.menu, nullptr,
                        &delivery.menu);
      if (recorder->onPopulate) recorder->onPopulate(delivery.menu);
    } else if (delivery.eventClass == kEventClassCommand) {
      GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof delivery.command, nullptr,
                        &delivery.command);
    }
    recorder->deliveries.push_back(delivery);
    return noErr;
  }
  EventHandlerRef handler_ = nullptr;
};

MenuRef makeDockMenu() {
  MenuRef menu = nullptr;
  EXPECT_EQ(noErr, CreateNewMenu(1, 0, &menu));
  AppendMenuItemTextWithCFString(menu, CFSTR("Start Auto-Scan"), 0, FOUR_CHAR_CODE("Auto"), nullptr);
  AppendMenuItemTextWithCFString(menu, CFSTR("Switch to Computer 1"), 0, FOUR_CHAR_CODE("SPC1"), nullptr);
  AppendMenuItemTextWithCFString(menu, CFSTR("Switch to Computer 2"), 0, FOUR_CHAR_CODE("SPC2"), nullptr);
  return menu;
}

class TrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dock = makeDockMenu();
    ASSERT_EQ(noErr, SetApplicationDockTileMenu(dock));
  }
  void TearDown() override {
    platform::setTrayStatus("", "");
    SetApplicationDockTileMenu(nullptr);
    DisposeMenu(dock);
    RestoreApplicationDockTileImage();
    platform::drainMainQueue();
  }

  MenuRef dock = nullptr;
};

QStringList texts(const QMenu* menu) {
  QStringList list;
  for (const QAction* action : menu->actions()) list << (action->isSeparator() ? QStringLiteral("-") : action->text());
  return list;
}

QAction* itemNamed(QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions()) {
    if (action->text() == text) return action;
  }
  return nullptr;
}

// A one-colour tile image through the platform's own image path.
CGImageRef solidImage(uint8_t red, uint8_t green, uint8_t blue) {
  static std::vector<uint8_t> data;
  static std::vector<uint8_t> mask;
  data.assign(128 * 128 * 4, 0xFF);
  for (size_t i = 0; i < data.size(); i += 4) {
    data[i + 1] = red;
    data[i + 2] = green;
    data[i + 3] = blue;
  }
  mask.assign(128 * 128, 0xFF);
  const Rect bounds = {0, 0, 128, 128};
  GWorldPtr dataWorld = nullptr;
  GWorldPtr maskWorld = nullptr;
  NewGWorldFromPtr(&dataWorld, 32, &bounds, nullptr, nullptr, 0, reinterpret_cast<Ptr>(data.data()), 512);
  NewGWorldFromPtr(&maskWorld, 8, &bounds, nullptr, nullptr, 0, reinterpret_cast<Ptr>(mask.data()), 128);
  CGImageRef image = nullptr;
  CreateCGImageFromPixMaps(GetGWorldPixMap(dataWorld), GetGWorldPixMap(maskWorld), &image);
  DisposeGWorld(dataWorld);
  DisposeGWorld(maskWorld);
  return image;
}

QRgb windowIconCentre() {
  return QApplication::windowIcon().pixmap(128, 128).toImage().convertToFormat(QImage::Format_ARGB32).pixel(64, 50);
}

// Same picture, ignoring the colour of fully transparent pixels.
bool samePicture(const QImage& a, const QImage& b) {
  const QImage left = a.convertToFormat(QImage::Format_ARGB32);
  const QImage right = b.convertToFormat(QImage::Format_ARGB32);
  if (left.size() != right.size()) return false;
  for (int y = 0; y < left.height(); ++y) {
    for (int x = 0; x < left.width(); ++x) {
      const QRgb p = left.pixel(x, y);
      const QRgb q = right.pixel(x, y);
      if (qAlpha(p) != qAlpha(q) || (qAlpha(p) != 0 && (p & 0xFFFFFF) != (q & 0xFFFFFF))) return false;
    }
  }
  return true;
}

// ---- The Dock menu

TEST_F(TrayTest, KeepsTheDockMenuAndGivesItBack) {
  EXPECT_EQ(dock, GetApplicationDockTileMenu());
  EXPECT_EQ(noErr, SetApplicationDockTileMenu(nullptr));
  EXPECT_EQ(nullptr, GetApplicationDockTileMenu());
  // A menu that is gone is not taken.
  MenuRef gone = makeDockMenu();
  DisposeMenu(gone);
  EXPECT_EQ(paramErr, SetApplicationDockTileMenu(gone));
  EXPECT_EQ(nullptr, GetApplicationDockTileMenu());
}

TEST_F(TrayTest, EachOpeningAsksTheApplicationOnceToPopulateTheDockMenuFirst) {
  ApplicationRecorder application;
  // The update runs before the tray takes the items: what it adds is shown.
  application.onPopulate = [](MenuRef menu) {
    ChangeMenuItemAttributes(menu, 2, kMenuItemAttrHidden, 0);
    if (CountMenuItems(menu) == 3) AppendMenuItemTextWithCFString(menu, CFSTR("Added"), 0, 0, nullptr);
  };
  QMenu* menu = platform::openTrayMenuForTest();
  ASSERT_EQ(1u, application.deliveries.size());
  EXPECT_EQ(kEventClassMenu, application.deliveries[0].eventClass);
  EXPECT_EQ(kEventMenuPopulate, application.deliveries[0].kind);
  EXPECT_EQ(dock, application.deliveries[0].menu);
  EXPECT_EQ(3, texts(menu).indexOf("Added"));
  EXPECT_FALSE(menu->actions().at(1)->isVisible());

  platform::openTrayMenuForTest();
  EXPECT_EQ(2u, application.deliveries.size());
  EXPECT_EQ(dock, application.deliveries[1].menu);
  // Nothing further was posted for later.
  platform::drainMainQueue();
  EXPECT_EQ(2u, application.deliveries.size());
}

TEST_F(TrayTest, TheDockAddsPreferencesAndQuitAfterTheMenusOwnItems) {
  QMenu* menu = platform::openTrayMenuForTest();
  EXPECT_EQ(QStringList({"Start Auto-Scan", "Switch to Computer 1", "Switch to Computer 2", "-", "Start at Login",
                         QString::fromUtf8("Preferences\u2026"), "Quit"}),
            texts(menu));
  // The application's menu itself keeps only its own items, on every opening.
  platform::openTrayMenuForTest();
  EXPECT_EQ(3, CountMenuItems(dock));
  EXPECT_EQ(7, menu->actions().size());

  // Without a Dock menu only the Dock's items remain.
  SetApplicationDockTileMenu(nullptr);
  EXPECT_EQ(QStringList({"Start at Login", QString::fromUtf8("Preferences\u2026"), "Quit"}),
            texts(platform::openTrayMenuForTest()));

  // A program that stands in for the real one (the demo) leaves Start at Login out.
  platform::offerStartAtLogin(false);
  EXPECT_EQ(QStringList({QString::fromUtf8("Preferences\u2026"), "Quit"}), texts(platform::openTrayMenuForTest()));
  platform::offerStartAtLogin(true);
  EXPECT_EQ(QStringList({"Start at Login", QString::fromUtf8("Preferences\u2026"), "Quit"}),
            texts(platform::openTrayMenuForTest()));
}

TEST_F(TrayTest, ChoosingAnItemPostsItsCommandToTheApplication) {
  ApplicationRecorder application;
  QMenu* menu = platform::openTrayMenuForTest();
  application.deliveries.clear();

  itemNamed(menu, QString::fromUtf8("Preferences\u2026"))->trigger();
  itemNamed(menu, "Switch to Computer 2")->trigger();
  itemNamed(menu, "Quit")->trigger();
  EXPECT_TRUE(application.deliveries.empty()) << "posted, not sent";
  platform::drainMainQueue();

  ASSERT_EQ(3u, application.deliveries.size());
  for (const Delivery& delivery : application.deliveries) {
    EXPECT_EQ(kEventClassCommand, delivery.eventClass);
    EXPECT_EQ(kEventCommandProcess, delivery.kind);
    EXPECT_EQ(UInt32(kHICommandFromMenu), delivery.command.attributes);
  }
  EXPECT_EQ(FOUR_CHAR_CODE("pref"), application.deliveries[0].command.commandID);
  EXPECT_EQ(FOUR_CHAR_CODE("SPC2"), application.deliveries[1].command.commandID);
  // A Dock menu item says where it came from, as it would from the menu itself.
  EXPECT_EQ(dock, application.deliveries[1].command.source.menu.menuRef);
  EXPECT_EQ(3, application.deliveries[1].command.source.menu.menuItemIndex);
  EXPECT_EQ(FOUR_CHAR_CODE("quit"), application.deliveries[2].command.commandID);
}

TEST_F(TrayTest, TheApplicationsStateHeadsTheMenuAndFollowsItsNameInTheTooltip) {
  EXPECT_EQ("Portvane", platform::trayToolTip().toStdString());

  platform::setTrayStatus("Computer 1", "");
  QMenu* menu = platform::openTrayMenuForTest();
  EXPECT_EQ(QStringList({"Computer 1", "-", "Start Auto-Scan", "Switch to Computer 1", "Switch to Computer 2", "-",
                         "Start at Login", QString::fromUtf8("Preferences\u2026"), "Quit"}),
            texts(menu));
  EXPECT_FALSE(menu->actions().at(0)->isEnabled()) << "a line to read, not to choose";
  EXPECT_EQ("Portvane\nComputer 1", platform::trayToolTip().toStdString());

  // A change shows in the open menu and in the tooltip, each note a line of its own.
  platform::setTrayStatus("No switch attached", "Control+Alt+1 is not active: another program holds it");
  EXPECT_EQ("No switch attached", menu->actions().at(0)->text().toStdString());
  EXPECT_EQ("Portvane\nNo switch attached\nControl+Alt+1 is not active: another program holds it",
            platform::trayToolTip().toStdString());
  EXPECT_EQ(3, CountMenuItems(dock)) << "the Dock menu itself is left as it is";
}

TEST_F(TrayTest, WithoutATrayAWindowStandsInUntilOneAppears) {
  bool available = false;
  platform::setSystemTrayAvailabilityForTest([&] { return available; });
  platform::setTrayStatus("Computer 2", "");
  platform::lookForTrayForTest();
  QWidget* window = platform::trayWindowForTest();
  ASSERT_NE(nullptr, window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_FALSE(platform::trayIconShownForTest());
  auto* status = window->findChild<QLabel*>("trayStatus");
  ASSERT_NE(nullptr, status);
  EXPECT_EQ("Computer 2", status->text().toStdString());
  // The tray menu itself behind its button; Preferences and Quit as buttons.
  EXPECT_EQ(platform::openTrayMenuForTest(), window->findChild<QPushButton*>("trayMenuButton")->menu());
  ApplicationRecorder application;
  window->findChild<QPushButton*>("trayQuitButton")->click();
  window->findChild<QPushButton*>("trayPreferencesButton")->click();
  platform::drainMainQueue();
  ASSERT_EQ(2u, application.deliveries.size());
  EXPECT_EQ(FOUR_CHAR_CODE("quit"), application.deliveries[0].command.commandID);
  EXPECT_EQ(FOUR_CHAR_CODE("pref"), application.deliveries[1].command.commandID);

  // A tray appears: the program moves there, and back should it go away.
  available = true;
  platform::lookForTrayForTest();
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(platform::trayIconShownForTest());
  available = false;
  platform::lookForTrayForTest();
  EXPECT_TRUE(window->isVisible());
  EXPECT_FALSE(platform::trayIconShownForTest());
  platform::setSystemTrayAvailabilityForTest(nullptr);
}

TEST_F(TrayTest, ClickingTheIconPostsApplicationShown) {
  ApplicationRecorder application;
  platform::clickTrayIconForTest();
  EXPECT_TRUE(application.deliveries.empty());
  platform::drainMainQueue();
  ASSERT_EQ(1u, application.deliveries.size());
  EXPECT_EQ(kEventClassApplication, application.deliveries[0].eventClass);
  EXPECT_EQ(kEventAppShown, application.deliveries[0].kind);
}

// ---- The picture

TEST_F(TrayTest, ShowsTheApplicationsPictureUntilATileImageIsSet) {
  const QImage own(QString::fromStdString(kArtwork + "/portvane.png"));
  ASSERT_FALSE(own.isNull());
  EXPECT_TRUE(samePicture(own, platform::trayIconImage()));
  EXPECT_EQ(own.convertToFormat(QImage::Format_ARGB32).pixel(64, 50), windowIconCentre());
}

TEST_F(TrayTest, FollowsTheTileImageInTrayAndWindowIcon) {
  CGImageRef green = solidImage(0x1E, 0x9E, 0x3C);
  ASSERT_NE(nullptr, green);
  SetApplicationDockTileImage(green);
  CGImageRelease(green);
  EXPECT_EQ(qRgb(0x1E, 0x9E, 0x3C), platform::trayIconImage().pixel(10, 10));
  EXPECT_EQ(qRgb(0x1E, 0x9E, 0x3C), windowIconCentre());

  CGImageRef blue = solidImage(0x1F, 0x6F, 0xE0);
  SetApplicationDockTileImage(blue);
  CGImageRelease(blue);
  EXPECT_EQ(qRgb(0x1F, 0x6F, 0xE0), platform::trayIconImage().pixel(10, 10));
  EXPECT_EQ(qRgb(0x1F, 0x6F, 0xE0), windowIconCentre());

  // A picture shown before is the same icon again, not a new one.
  const qint64 blueIcon = QApplication::windowIcon().cacheKey();
  green = solidImage(0x1E, 0x9E, 0x3C);
  SetApplicationDockTileImage(green);
  CGImageRelease(green);
  const qint64 greenIcon = QApplication::windowIcon().cacheKey();
  EXPECT_NE(blueIcon, greenIcon);
  blue = solidImage(0x1F, 0x6F, 0xE0);
  SetApplicationDockTileImage(blue);
  CGImageRelease(blue);
  EXPECT_EQ(blueIcon, QApplication::windowIcon().cacheKey());

  // Restored: the application's own picture again.
  RestoreApplicationDockTileImage();
  EXPECT_TRUE(samePicture(QImage(QString::fromStdString(kArtwork + "/portvane.png")), platform::trayIconImage()));
}

}  // namespace
