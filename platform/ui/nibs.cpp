#include "platform/ui/nibs.h"

#include <QDialog>
#include <QFile>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QUiLoader>
#include <memory>
#include <string>

#include "platform/core/bundle.h"
#include "platform/ui/menus.h"
#include "platform/ui/nibs_testing.h"
#include "platform/ui/windows.h"

struct OpaqueIBNibRef {
  QString path;
};

namespace {

size_t openReferences = 0;

bool nameOf(CFStringRef string, QString* name) {
  if (!string) return false;
  char buffer[1024];
  if (!CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8)) return false;
  *name = QString::fromUtf8(buffer);
  return true;
}

// Qt's loader reports malformed files through Qt's message log; the platform
// reports them only through the status.
void quietMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

std::unique_ptr<QWidget> load(IBNibRef nib) {
  if (!nib) return nullptr;
  platform::ensureApplication();
  QFile file(nib->path);
  if (!file.open(QIODevice::ReadOnly)) return nullptr;
  QUiLoader loader;
  const QtMessageHandler previous = qInstallMessageHandler(quietMessages);
  std::unique_ptr<QWidget> root(loader.load(&file));
  qInstallMessageHandler(previous);
  return root;
}

}  // namespace

namespace platform {
size_t openNibReferences() { return openReferences; }
}  // namespace platform

OSStatus CreateNibReference(CFStringRef inNibName, IBNibRef* outNibRef) {
  if (!outNibRef) return paramErr;
  *outNibRef = nullptr;
  QString name;
  if (!nameOf(inNibName, &name)) return paramErr;
  const QString path = QString::fromStdString(platform::bundleResourcesDirectory()) + "/" + name + ".ui";
  if (!QFile::exists(path)) return kIBCarbonRuntimeCantFindNibFile;
  *outNibRef = new OpaqueIBNibRef{path};
  ++openReferences;
  return noErr;
}

void DisposeNibReference(IBNibRef inNibRef) {
  if (!inNibRef) return;
  --openReferences;
  delete inNibRef;
}

OSStatus CreateWindowFromNib(IBNibRef inNibRef, CFStringRef inName, WindowRef* outWindow) {
  if (!outWindow) return paramErr;
  *outWindow = nullptr;
  QString name;
  if (!inNibRef || !nameOf(inName, &name)) return paramErr;
  std::unique_ptr<QWidget> root = load(inNibRef);
  if (!root) return kIBCarbonRuntimeCantFindObject;
  QWidget* window = nullptr;
  if (root->objectName() == name) {
    window = root.release();
  } else {
    for (QWidget* child : root->findChildren<QWidget*>(name)) {
      if (qobject_cast<QDialog*>(child) || qobject_cast<QMainWindow*>(child)) {
        child->setParent(nullptr, child->windowFlags() | Qt::Window);
        window = child;
        break;
      }
    }
  }
  if (!window) return kIBCarbonRuntimeCantFindObject;
  *outWindow = platform::newWindowFromWidget(window);
  return noErr;
}

OSStatus CreateMenuFromNib(IBNibRef inNibRef, CFStringRef inName, MenuRef* outMenuRef) {
  if (!outMenuRef) return paramErr;
  *outMenuRef = nullptr;
  QString name;
  if (!inNibRef || !nameOf(inName, &name)) return paramErr;
  std::unique_ptr<QWidget> root = load(inNibRef);
  QMenu* menu = root ? root->findChild<QMenu*>(name) : nullptr;
  if (!menu) return kIBCarbonRuntimeCantFindObject;
  // The menu's actions belong to the loaded tree, which the menu keeps.
  *outMenuRef = platform::newMenuFromWidget(menu, root.release());
  return noErr;
}

OSStatus CreateMenuBarFromNib(IBNibRef inNibRef, CFStringRef inName, Handle* outMenuBar) {
  if (!outMenuBar) return paramErr;
  *outMenuBar = nullptr;
  QString name;
  if (!inNibRef || !nameOf(inName, &name)) return paramErr;
  std::unique_ptr<QWidget> root = load(inNibRef);
  QMenuBar* bar = root ? root->findChild<QMenuBar*>(name) : nullptr;
  if (!bar) return kIBCarbonRuntimeCantFindObject;
  *outMenuBar = platform::newMenuBar(bar, root.release());
  return noErr;
}

OSStatus SetMenuBarFromNib(IBNibRef inNibRef, CFStringRef inName) {
  Handle bar = nullptr;
  OSStatus status = CreateMenuBarFromNib(inNibRef, inName, &bar);
  if (status != noErr) return status;
  SetMenuBar(bar);
  return noErr;
}
