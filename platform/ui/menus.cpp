#include "platform/ui/menus.h"

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLayout>
#include <QListView>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QStandardItemModel>
#include <algorithm>
#include <memory>
#include <vector>

#include "platform/ui/windows.h"

struct OpaqueMenuRef {
  QPointer<QMenu> menu;
  QPointer<QComboBox> combo;
  QWidget* owner = nullptr;  // the loaded tree holding the menu's actions, owned
  EventTargetRef target = nullptr;
  std::vector<MenuRef> submenus;
};

namespace {

constexpr int kCommandRole = Qt::UserRole + 1;
constexpr int kMarkRole = Qt::UserRole + 2;
constexpr int kAttributesRole = Qt::UserRole + 3;
const char* const kObjectBarName = "portvane_menubar";

// Never destroyed: menus alive at exit stay reachable.
std::vector<MenuRef>& liveMenus() {
  static auto& menus = *new std::vector<MenuRef>;
  return menus;
}

struct MenuBarRecord {
  QWidget* owner;
  QPointer<QMenuBar> bar;
};

struct ApplicationMenuBar {
  MenuBarRecord* record = nullptr;
  std::vector<MenuRef> menus;
};

ApplicationMenuBar& applicationMenuBar() {
  static auto& bar = *new ApplicationMenuBar;
  return bar;
}

bool isLive(MenuRef menu) {
  auto& menus = liveMenus();
  return menu && std::find(menus.begin(), menus.end(), menu) != menus.end();
}

UInt16 itemCount(MenuRef menu) {
  if (!isLive(menu)) return 0;
  if (menu->menu) return UInt16(menu->menu->actions().size());
  if (menu->combo) return UInt16(menu->combo->count());
  return 0;
}

bool validItem(MenuRef menu, MenuItemIndex item) { return item >= 1 && item <= itemCount(menu); }

QAction* actionAt(MenuRef menu, MenuItemIndex item) {
  return menu->menu ? menu->menu->actions().at(item - 1) : nullptr;
}

QString qstringOf(CFStringRef string) {
  QString text;
  const CFIndex length = string ? CFStringGetLength(string) : 0;
  for (CFIndex i = 0; i < length; ++i) text.append(QChar(CFStringGetCharacterAtIndex(string, i)));
  return text;
}

QString commandText(MenuCommand command) {
  const char bytes[4] = {char(command >> 24), char(command >> 16), char(command >> 8), char(command)};
  return QString::fromLatin1(bytes, 4);
}

MenuCommand commandOf(MenuRef menu, MenuItemIndex item) {
  if (QAction* action = actionAt(menu, item)) return platform::commandProperty(action);
  return menu->combo->itemData(item - 1, kCommandRole).toUInt();
}

MenuItemAttributes attributesOf(MenuRef menu, MenuItemIndex item) {
  if (QAction* action = actionAt(menu, item)) {
    MenuItemAttributes attributes = action->property("menuItemAttributes").toUInt();
    attributes &= ~(kMenuItemAttrDisabled | kMenuItemAttrHidden | kMenuItemAttrSeparator);
    if (!action->isEnabled()) attributes |= kMenuItemAttrDisabled;
    if (!action->isVisible()) attributes |= kMenuItemAttrHidden;
    if (action->isSeparator()) attributes |= kMenuItemAttrSeparator;
    return attributes;
  }
  return menu->combo->itemData(item - 1, kAttributesRole).toUInt();
}

void applyAttributes(MenuRef menu, MenuItemIndex item, MenuItemAttributes attributes) {
  const bool disabled = attributes & kMenuItemAttrDisabled;
  const bool hidden = attributes & kMenuItemAttrHidden;
  if (QAction* action = actionAt(menu, item)) {
    action->setProperty("menuItemAttributes", attributes);
    action->setEnabled(!disabled);
    action->setVisible(!hidden);
    return;
  }
  QComboBox* combo = menu->combo;
  combo->setItemData(item - 1, attributes, kAttributesRole);
  if (auto* model = qobject_cast<QStandardItemModel*>(combo->model())) {
    if (QStandardItem* entry = model->item(item - 1)) entry->setEnabled(!disabled);
  }
  if (auto* view = qobject_cast<QListView*>(combo->view())) view->setRowHidden(item - 1, hidden);
}

void setItemEnabled(MenuRef menu, MenuItemIndex item, bool enabled) {
  MenuItemAttributes attributes = attributesOf(menu, item);
  attributes = enabled ? attributes & ~kMenuItemAttrDisabled : attributes | kMenuItemAttrDisabled;
  applyAttributes(menu, item, attributes);
}

void postMenuCommand(MenuRef menu, QAction* action) {
  const qsizetype index = menu->menu->actions().indexOf(action);
  if (index < 0) return;
  HICommandExtended record{};
  record.attributes = kHICommandFromMenu;
  record.commandID = platform::commandProperty(action);
  record.source.menu.menuRef = menu;
  record.source.menu.menuItemIndex = MenuItemIndex(index + 1);
  platform::postCommandEvent(record, menu->target);
}


MenuRef registerMenu(QMenu* qmenu, QComboBox* combo, QWidget* owner) {
  auto* menu = new OpaqueMenuRef;
  menu->menu = qmenu;
  menu->combo = combo;
  menu->owner = owner;
  menu->target = platform::newEventTarget(nullptr, true);
  liveMenus().push_back(menu);
  if (qmenu) {
    // triggered also reports the actions of submenus; each menu posts its own.
    QObject::connect(qmenu, &QMenu::triggered, qmenu, [menu](QAction* action) {
      if (isLive(menu) && menu->menu && menu->menu->actions().contains(action) && !action->menu()) {
        postMenuCommand(menu, action);
      }
    });
    QObject::connect(qmenu, &QMenu::aboutToShow, qmenu, [menu] {
      if (isLive(menu)) platform::sendMenuPopulate(menu);
    });
    for (QAction* action : qmenu->actions()) {
      if (action->menu()) menu->submenus.push_back(registerMenu(action->menu(), nullptr, nullptr));
    }
  }
  return menu;
}

bool findCommand(MenuRef menu, MenuCommand command, UInt32* remaining, MenuRef* outMenu, MenuItemIndex* outIndex) {
  const UInt16 count = itemCount(menu);
  for (MenuItemIndex item = 1; item <= count; ++item) {
    if (commandOf(menu, item) == command && --*remaining == 0) {
      if (outMenu) *outMenu = menu;
      if (outIndex) *outIndex = item;
      return true;
    }
  }
  for (MenuRef submenu : menu->submenus) {
    if (findCommand(submenu, command, remaining, outMenu, outIndex)) return true;
  }
  return false;
}

template <typename Fn>
void forEachItemWithCommand(MenuRef menu, MenuCommand command, Fn fn) {
  if (menu) {
    if (!isLive(menu)) return;
    const UInt16 count = itemCount(menu);
    for (MenuItemIndex item = 1; item <= count; ++item) {
      if (commandOf(menu, item) == command) fn(menu, item);
    }
    for (MenuRef submenu : menu->submenus) forEachItemWithCommand(submenu, command, fn);
    return;
  }
  const std::vector<MenuRef> menus = liveMenus();
  for (MenuRef each : menus) {
    const UInt16 count = itemCount(each);
    for (MenuItemIndex item = 1; item <= count; ++item) {
      if (commandOf(each, item) == command) fn(each, item);
    }
  }
}

}  // namespace

namespace platform {

MenuCommand commandProperty(const QObject* object) {
  if (!object) return 0;
  const QByteArray text = object->property("command").toString().toLatin1();
  if (text.size() != 4) return 0;
  return (MenuCommand(uint8_t(text[0])) << 24) | (MenuCommand(uint8_t(text[1])) << 16) |
         (MenuCommand(uint8_t(text[2])) << 8) | MenuCommand(uint8_t(text[3]));
}

MenuRef newMenuFromWidget(QMenu* menu, QWidget* owner) { return menu ? registerMenu(menu, nullptr, owner) : nullptr; }

MenuRef newPopupMenu(QComboBox* comboBox) { return comboBox ? registerMenu(nullptr, comboBox, nullptr) : nullptr; }

QMenu* menuWidget(MenuRef menu) { return isLive(menu) ? menu->menu.data() : nullptr; }

Handle newMenuBar(QMenuBar* bar, QWidget* owner) {
  return reinterpret_cast<Handle>(new MenuBarRecord{owner, bar});
}

void attachMenuBar(QWidget* window) {
  if (!window) return;
  if (auto* old = window->findChild<QMenuBar*>(kObjectBarName, Qt::FindDirectChildrenOnly)) delete old;
  const ApplicationMenuBar& application = applicationMenuBar();
  // A Linux dialog carries no application menu bar, nor its shortcuts (Ctrl+Q
  // would quit the program from inside it).
  if (application.menus.empty() || qobject_cast<QDialog*>(window)) return;
  auto* bar = new QMenuBar;
  bar->setObjectName(kObjectBarName);
  for (MenuRef menu : application.menus) {
    if (menu->menu) bar->addMenu(menu->menu);
  }
  if (auto* mainWindow = qobject_cast<QMainWindow*>(window)) {
    mainWindow->setMenuBar(bar);
  } else if (QLayout* layout = window->layout()) {
    bar->setParent(window);
    layout->setMenuBar(bar);
  } else {
    bar->setParent(window);
  }
}

size_t menuBarMenuCount() { return applicationMenuBar().menus.size(); }

MenuRef menuBarMenu(size_t index) {
  const auto& menus = applicationMenuBar().menus;
  return index < menus.size() ? menus[index] : nullptr;
}

}  // namespace platform

void SetMenuBar(Handle menuBar) {
  auto* record = reinterpret_cast<MenuBarRecord*>(menuBar);
  if (!record) return;
  ApplicationMenuBar& application = applicationMenuBar();
  if (application.record == record) return;
  std::vector<MenuRef> old = std::move(application.menus);
  MenuBarRecord* oldRecord = application.record;
  application.menus.clear();
  application.record = record;
  if (record->bar) {
    for (QAction* action : record->bar->actions()) {
      if (action->menu()) application.menus.push_back(platform::newMenuFromWidget(action->menu(), nullptr));
    }
  }
  for (size_t i = 0; i < platform::windowCount(); ++i) {
    platform::attachMenuBar(platform::windowWidget(platform::windowAt(i)));
  }
  for (MenuRef menu : old) DisposeMenu(menu);
  DisposeMenuBar(reinterpret_cast<Handle>(oldRecord));
}

void DisposeMenuBar(Handle menuBar) {
  auto* record = reinterpret_cast<MenuBarRecord*>(menuBar);
  if (!record || applicationMenuBar().record == record) return;
  delete record->owner;
  delete record;
}

OSStatus CreateNewMenu(MenuID, MenuAttributes, MenuRef* outMenu) {
  if (!outMenu) return paramErr;
  platform::ensureApplication();
  auto* menu = new QMenu;
  *outMenu = registerMenu(menu, nullptr, menu);
  return noErr;
}

void DisposeMenu(MenuRef menu) {
  if (!isLive(menu)) return;
  std::erase(liveMenus(), menu);
  for (MenuRef submenu : menu->submenus) DisposeMenu(submenu);
  platform::disposeEventTarget(menu->target);
  delete menu->owner;
  delete menu;
}

EventTargetRef GetMenuEventTarget(MenuRef menu) { return isLive(menu) ? menu->target : nullptr; }

UInt16 CountMenuItems(MenuRef menu) { return itemCount(menu); }

OSStatus DeleteMenuItems(MenuRef menu, MenuItemIndex firstItem, ItemCount numItems) {
  if (!isLive(menu)) return paramErr;
  if (numItems == 0) return noErr;
  if (!validItem(menu, firstItem)) return menuItemNotFoundErr;
  const ItemCount available = itemCount(menu) - firstItem + 1;
  for (ItemCount n = std::min(numItems, available); n > 0; --n) {
    if (QAction* action = actionAt(menu, firstItem)) {
      menu->menu->removeAction(action);
      if (action->parent() == menu->menu || !action->parent()) delete action;
    } else {
      menu->combo->removeItem(firstItem - 1);
    }
  }
  return noErr;
}

OSStatus AppendMenuItemTextWithCFString(MenuRef menu, CFStringRef text, MenuItemAttributes attributes,
                                        MenuCommand commandID, MenuItemIndex* outNewItem) {
  if (!isLive(menu)) return paramErr;
  if (menu->menu) {
    QAction* action = menu->menu->addAction(qstringOf(text));
    if (commandID) action->setProperty("command", commandText(commandID));
  } else {
    menu->combo->addItem(qstringOf(text));
    menu->combo->setItemData(menu->combo->count() - 1, commandID, kCommandRole);
  }
  const MenuItemIndex item = itemCount(menu);
  applyAttributes(menu, item, attributes);
  if (outNewItem) *outNewItem = item;
  return noErr;
}

OSStatus SetMenuItemTextWithCFString(MenuRef menu, MenuItemIndex item, CFStringRef text) {
  if (!validItem(menu, item)) return isLive(menu) ? menuItemNotFoundErr : paramErr;
  if (QAction* action = actionAt(menu, item)) {
    action->setText(qstringOf(text));
  } else {
    menu->combo->setItemText(item - 1, qstringOf(text));
  }
  return noErr;
}

OSStatus CopyMenuItemTextAsCFString(MenuRef menu, MenuItemIndex item, CFStringRef* outString) {
  if (!outString) return paramErr;
  *outString = nullptr;
  if (!validItem(menu, item)) return isLive(menu) ? menuItemNotFoundErr : paramErr;
  QAction* action = actionAt(menu, item);
  const QString text = action ? action->text() : menu->combo->itemText(item - 1);
  *outString = CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(text.utf16()), text.size());
  return *outString ? noErr : memFullErr;
}

OSStatus GetMenuItemCommandID(MenuRef menu, MenuItemIndex item, MenuCommand* outCommandID) {
  if (!outCommandID) return paramErr;
  if (!validItem(menu, item)) return isLive(menu) ? menuItemNotFoundErr : paramErr;
  *outCommandID = commandOf(menu, item);
  return noErr;
}

OSStatus SetMenuItemCommandID(MenuRef menu, MenuItemIndex item, MenuCommand commandID) {
  if (!validItem(menu, item)) return isLive(menu) ? menuItemNotFoundErr : paramErr;
  if (QAction* action = actionAt(menu, item)) {
    action->setProperty("command", commandID ? QVariant(commandText(commandID)) : QVariant());
  } else {
    menu->combo->setItemData(item - 1, commandID, kCommandRole);
  }
  return noErr;
}

void SetItemMark(MenuRef menu, MenuItemIndex item, CharParameter markChar) {
  if (!validItem(menu, item)) return;
  if (QAction* action = actionAt(menu, item)) {
    action->setProperty("mark", int(markChar));
    action->setCheckable(markChar != noMark);
    action->setChecked(markChar != noMark);
  } else {
    menu->combo->setItemData(item - 1, int(markChar), kMarkRole);
  }
}

void GetItemMark(MenuRef menu, MenuItemIndex item, CharParameter* outMarkChar) {
  if (!outMarkChar) return;
  *outMarkChar = noMark;
  if (!validItem(menu, item)) return;
  if (QAction* action = actionAt(menu, item)) {
    const QVariant mark = action->property("mark");
    *outMarkChar = mark.isValid() ? CharParameter(mark.toInt()) : CharParameter(action->isChecked() ? checkMark : noMark);
  } else {
    *outMarkChar = CharParameter(menu->combo->itemData(item - 1, kMarkRole).toInt());
  }
}

OSStatus ChangeMenuItemAttributes(MenuRef menu, MenuItemIndex item, MenuItemAttributes setTheseAttributes,
                                  MenuItemAttributes clearTheseAttributes) {
  if (!validItem(menu, item)) return isLive(menu) ? menuItemNotFoundErr : paramErr;
  applyAttributes(menu, item, (attributesOf(menu, item) | setTheseAttributes) & ~clearTheseAttributes);
  return noErr;
}

OSStatus GetMenuItemAttributes(MenuRef menu, MenuItemIndex item, MenuItemAttributes* outAttributes) {
  if (!outAttributes) return paramErr;
  if (!validItem(menu, item)) return isLive(menu) ? menuItemNotFoundErr : paramErr;
  *outAttributes = attributesOf(menu, item);
  return noErr;
}

void EnableMenuItem(MenuRef menu, MenuItemIndex item) {
  if (item == 0 && isLive(menu) && menu->menu) menu->menu->setEnabled(true);
  if (validItem(menu, item)) setItemEnabled(menu, item, true);
}

void DisableMenuItem(MenuRef menu, MenuItemIndex item) {
  if (item == 0 && isLive(menu) && menu->menu) menu->menu->setEnabled(false);
  if (validItem(menu, item)) setItemEnabled(menu, item, false);
}

Boolean IsMenuItemEnabled(MenuRef menu, MenuItemIndex item) {
  if (item == 0) return isLive(menu) && (!menu->menu || menu->menu->isEnabled());
  return validItem(menu, item) && !(attributesOf(menu, item) & kMenuItemAttrDisabled);
}

void EnableMenuCommand(MenuRef menu, MenuCommand commandID) {
  forEachItemWithCommand(menu, commandID, [](MenuRef m, MenuItemIndex item) { setItemEnabled(m, item, true); });
}

void DisableMenuCommand(MenuRef menu, MenuCommand commandID) {
  forEachItemWithCommand(menu, commandID, [](MenuRef m, MenuItemIndex item) { setItemEnabled(m, item, false); });
}

Boolean IsMenuCommandEnabled(MenuRef menu, MenuCommand commandID) {
  MenuRef found = nullptr;
  MenuItemIndex item = 0;
  if (GetIndMenuItemWithCommandID(menu, commandID, 1, &found, &item) != noErr) return false;
  return IsMenuItemEnabled(found, item);
}

OSStatus GetIndMenuItemWithCommandID(MenuRef menu, MenuCommand commandID, UInt32 itemIndex, MenuRef* outMenu,
                                     MenuItemIndex* outIndex) {
  if (itemIndex == 0) return paramErr;
  UInt32 remaining = itemIndex;
  if (menu) {
    if (!isLive(menu)) return paramErr;
    return findCommand(menu, commandID, &remaining, outMenu, outIndex) ? noErr : menuItemNotFoundErr;
  }
  for (MenuRef each : applicationMenuBar().menus) {
    if (findCommand(each, commandID, &remaining, outMenu, outIndex)) return noErr;
  }
  return menuItemNotFoundErr;
}

namespace platform {

void sendMenuPopulate(MenuRef menu) {
  EventRef event = nullptr;
  if (CreateEvent(nullptr, kEventClassMenu, kEventMenuPopulate, GetCurrentEventTime(), kEventAttributeNone,
                  &event) != noErr) {
    return;
  }
  SetEventParameter(event, kEventParamDirectObject, typeMenuRef, sizeof menu, &menu);
  SendEventToEventTarget(event, menu->target);
  ReleaseEvent(event);
}

}  // namespace platform
