#include "platform/desktop/process.h"

#include <unistd.h>

#include <QApplication>
#include <QWidget>

#include "platform/desktop/process_testing.h"

namespace platform {
namespace {

struct FrontState {
  FrontProcess simulated = FrontProcess::asQtSays;
  int requests = 0;
};

FrontState& front() {
  static FrontState state;
  return state;
}

ProcessSerialNumber ourNumber() { return {0, UInt32(getpid())}; }

bool weAreInFront() {
  switch (front().simulated) {
    case FrontProcess::ours: return true;
    case FrontProcess::another: return false;
    case FrontProcess::asQtSays: break;
  }
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
  return QGuiApplication::applicationState() == Qt::ApplicationActive || QApplication::activeWindow();
}

}  // namespace

void simulateFrontProcess(FrontProcess state) { front().simulated = state; }

int frontProcessRequests() { return front().requests; }

void resetFrontProcessRequests() { front().requests = 0; }

}  // namespace platform

OSErr GetCurrentProcess(ProcessSerialNumber* outPSN) {
  if (!outPSN) return paramErr;
  *outPSN = platform::ourNumber();
  return noErr;
}

OSErr GetFrontProcess(ProcessSerialNumber* outPSN) {
  if (!outPSN) return paramErr;
  *outPSN = platform::weAreInFront() ? platform::ourNumber() : ProcessSerialNumber{0, kNoProcess};
  return noErr;
}

OSErr SetFrontProcess(const ProcessSerialNumber* inPSN) {
  if (!inPSN) return paramErr;
  const ProcessSerialNumber ours = platform::ourNumber();
  const bool isOurs = (inPSN->highLongOfPSN == ours.highLongOfPSN && inPSN->lowLongOfPSN == ours.lowLongOfPSN) ||
                      (inPSN->highLongOfPSN == 0 && inPSN->lowLongOfPSN == kCurrentProcess);
  if (!isOurs) return procNotFound;
  ++platform::front().requests;
  if (platform::front().simulated == platform::FrontProcess::another) {
    platform::front().simulated = platform::FrontProcess::ours;
  }
  if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
    // Windows of the offscreen platform have no stacking order, and it says so
    // on standard error when asked to raise one.
    const QString platformName = QGuiApplication::platformName();
    const bool stacks = platformName != QLatin1String("offscreen") && platformName != QLatin1String("minimal");
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (!window->isVisible()) continue;
      if (stacks) window->raise();
      window->activateWindow();
    }
  }
  return noErr;
}
