// The tray's stand-in where the desktop has no system tray (GNOME without an
// indicator extension, a bare window manager): a small window with the tray's
// picture and the application's state, a "Menu" button that opens the tray
// menu (also the window's context menu), and Preferences and Quit.
//
// Its close box only minimizes it, as a tray icon cannot be closed either;
// Quit ends the program. It never takes the keyboard when it appears.
#pragma once

#include <QWidget>
#include <functional>

class QLabel;
class QMenu;
class QPixmap;
class QPushButton;

namespace platform {

class TrayWindow : public QWidget {
 public:
  // Side of the picture, in pixels, and its distance from the window's
  // top-left corner (the end-to-end test finds the picture there).
  static constexpr int kPictureSide = 64;
  static constexpr int kMargin = 10;

  // `menu` stays the caller's; the two functions run for the buttons.
  TrayWindow(QMenu* menu, std::function<void()> preferences, std::function<void()> quit);

  void setPicture(const QPixmap& picture);
  // `notes`: lines below the state, none when empty.
  void setStatus(const QString& status, const QString& notes);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  QMenu* menu_;
  QLabel* picture_;
  QLabel* status_;
  QLabel* notes_;
};

}  // namespace platform
