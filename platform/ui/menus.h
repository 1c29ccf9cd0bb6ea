// Menus and the menu bar of the desktop platform over Qt.
//
// A MenuRef is a QMenu (its items are the menu's actions, separators included,
// numbered from 1), or the item list of a pop-up menu control (a QComboBox).
// An item's command is its "command" property (four characters, as written in
// an interface file), its check mark is shown as a checked action, and the
// attributes Disabled and Hidden disable and hide it.
//
// Choosing an item posts kEventCommandProcess with the item's command, its menu
// and its index to the menu's target, which goes on to the user focus and the
// application. A menu about to open is first sent kEventMenuPopulate.
//
// The application's menu bar is shown on every window but dialogs; its menus
// and their commands are there all the same.
#pragma once

#include "platform/core/core_foundation.h"
#include "platform/ui/carbon_events.h"

class QMenu;
class QObject;
class QMenuBar;
class QComboBox;
class QWidget;

typedef SInt16 MenuID;
typedef UInt32 MenuAttributes;
typedef UInt32 MenuItemAttributes;
typedef SInt16 CharParameter;

enum : MenuItemAttributes {
  kMenuItemAttrDisabled = 1u << 0,
  kMenuItemAttrHidden = 1u << 5,
  kMenuItemAttrSeparator = 1u << 6,
};

enum : CharParameter {
  noMark = 0,
  checkMark = 0x12,
};

OSStatus CreateNewMenu(MenuID menuID, MenuAttributes attributes, MenuRef* outMenu);
void DisposeMenu(MenuRef menu);
EventTargetRef GetMenuEventTarget(MenuRef menu);

UInt16 CountMenuItems(MenuRef menu);
OSStatus DeleteMenuItems(MenuRef menu, MenuItemIndex firstItem, ItemCount numItems);
OSStatus AppendMenuItemTextWithCFString(MenuRef menu, CFStringRef text, MenuItemAttributes attributes,
                                        MenuCommand commandID, MenuItemIndex* outNewItem);
OSStatus SetMenuItemTextWithCFString(MenuRef menu, MenuItemIndex item, CFStringRef text);
OSStatus CopyMenuItemTextAsCFString(MenuRef menu, MenuItemIndex item, CFStringRef* outString);
OSStatus GetMenuItemCommandID(MenuRef menu, MenuItemIndex item, MenuCommand* outCommandID);
OSStatus SetMenuItemCommandID(MenuRef menu, MenuItemIndex item, MenuCommand commandID);

void SetItemMark(MenuRef menu, MenuItemIndex item, CharParameter markChar);
void GetItemMark(MenuRef menu, MenuItemIndex item, CharParameter* outMarkChar);
OSStatus ChangeMenuItemAttributes(MenuRef menu, MenuItemIndex item, MenuItemAttributes setTheseAttributes,
                                  MenuItemAttributes clearTheseAttributes);
OSStatus GetMenuItemAttributes(MenuRef menu, MenuItemIndex item, MenuItemAttributes* outAttributes);
void EnableMenuItem(MenuRef menu, MenuItemIndex item);
void DisableMenuItem(MenuRef menu, MenuItemIndex item);
Boolean IsMenuItemEnabled(MenuRef menu, MenuItemIndex item);

// With a null menu: every item with the command in every menu.
void EnableMenuCommand(MenuRef menu, MenuCommand commandID);
void DisableMenuCommand(MenuRef menu, MenuCommand commandID);
Boolean IsMenuCommandEnabled(MenuRef menu, MenuCommand commandID);
// The `itemIndex`th (from 1) item with the command, in `menu` and its
// submenus, or in the menu bar's menus when `menu` is null.
// menuItemNotFoundErr when there is none.
OSStatus GetIndMenuItemWithCommandID(MenuRef menu, MenuCommand commandID, UInt32 itemIndex, MenuRef* outMenu,
                                     MenuItemIndex* outIndex);

// A menu bar created from an interface file is a Handle to an opaque record;
// SetMenuBar makes it the application's (taking it over), DisposeMenuBar
// releases one that was not installed.
void SetMenuBar(Handle menuBar);
void DisposeMenuBar(Handle menuBar);

namespace platform {

// `owner` (may be null) is the loaded widget tree that holds the menu's
// actions; the MenuRef takes it over.
MenuRef newMenuFromWidget(QMenu* menu, QWidget* owner);
// The item list of a pop-up menu control; owned by the control.
MenuRef newPopupMenu(QComboBox* comboBox);
QMenu* menuWidget(MenuRef menu);
// A menu bar record over a loaded tree, for CreateMenuBarFromNib.
Handle newMenuBar(QMenuBar* bar, QWidget* owner);
// The command written on a widget or action as its "command" property: four
// characters, first in the most significant byte; 0 when there is none.
MenuCommand commandProperty(const QObject* object);
// Gives a window the application's menu bar (now, and whenever it changes);
// a dialog gets none.
void attachMenuBar(QWidget* window);
// The application's menus, in the order of the menu bar; empty without one.
size_t menuBarMenuCount();
MenuRef menuBarMenu(size_t index);
// Sends the populate event for a menu about to open, through the menu's own
// target on to the application, before it returns.
void sendMenuPopulate(MenuRef menu);

}  // namespace platform
