#include "platform/desktop/tray_window.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <utility>

namespace platform {

TrayWindow::TrayWindow(QMenu* menu, std::function<void()> preferences, std::function<void()> quit)
    : QWidget(nullptr, Qt::Window), menu_(menu) {
  setWindowTitle(QStringLiteral("Portvane"));
  setObjectName(QStringLiteral("trayWindow"));
  // At login it appears among other windows; it must not take the keyboard.
  setAttribute(Qt::WA_ShowWithoutActivating);

  picture_ = new QLabel;
  picture_->setFixedSize(kPictureSide, kPictureSide);
  picture_->setAlignment(Qt::AlignCenter);

  auto* name = new QLabel(QStringLiteral("Portvane"));
  QFont bold = name->font();
  bold.setBold(true);
  name->setFont(bold);
  status_ = new QLabel;
  status_->setObjectName(QStringLiteral("trayStatus"));
  notes_ = new QLabel;
  notes_->setObjectName(QStringLiteral("trayNotes"));
  notes_->setWordWrap(true);
  notes_->hide();

  // The tray menu itself, opened afresh (and so brought up to date) each time.
  auto* menuButton = new QPushButton(QStringLiteral("&Menu"));
  menuButton->setObjectName(QStringLiteral("trayMenuButton"));
  menuButton->setMenu(menu_);
  auto* preferencesButton = new QPushButton(QStringLiteral("&Preferences\u2026"));
  preferencesButton->setObjectName(QStringLiteral("trayPreferencesButton"));
  auto* quitButton = new QPushButton(QStringLiteral("&Quit"));
  quitButton->setObjectName(QStringLiteral("trayQuitButton"));
  for (QPushButton* button : {menuButton, preferencesButton, quitButton}) button->setAutoDefault(false);
  connect(preferencesButton, &QPushButton::clicked, this, [run = std::move(preferences)] { run(); });
  connect(quitButton, &QPushButton::clicked, this, [run = std::move(quit)] { run(); });

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(6);
  buttons->addWidget(menuButton);
  buttons->addStretch(1);
  buttons->addWidget(preferencesButton);
  buttons->addWidget(quitButton);

  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(picture_, 0, 0, 3, 1, Qt::AlignLeft | Qt::AlignTop);
  layout->addWidget(name, 0, 1);
  layout->addWidget(status_, 1, 1);
  layout->addWidget(notes_, 2, 1);
  layout->setRowStretch(2, 1);
  // The picture keeps its own width; the text takes what the buttons leave.
  layout->setColumnStretch(1, 1);
  layout->addLayout(buttons, 3, 0, 1, 2);
}

void TrayWindow::setPicture(const QPixmap& picture) { picture_->setPixmap(picture); }

void TrayWindow::setStatus(const QString& status, const QString& notes) {
  status_->setText(status);
  notes_->setText(notes);
  notes_->setVisible(!notes.isEmpty());
}

void TrayWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  showMinimized();
}

void TrayWindow::contextMenuEvent(QContextMenuEvent* event) {
  menu_->popup(event->globalPos());
  event->accept();
}

}  // namespace platform
