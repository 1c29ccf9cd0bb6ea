// Global hot keys through the desktop portal, against a stand-in portal on a
// private bus: the keys bound with their triggers, an activation posting the
// hot-key event, rebinding after a change, a portal that cannot serve (one
// line, and the status of a desktop without X), and the portal going away.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/main_queue.h"
#include "platform/desktop/hot_keys.h"
#include "platform/desktop/hot_keys_testing.h"
#include "platform/desktop/portal_shortcuts.h"
#include "platform/desktop/portal_shortcuts_testing.h"
#include "tests/support/framework_test_app.h"
#include "tests/support/private_bus.h"
#include "tests/support/stderr_capture.h"

namespace {

constexpr int kWatchdogMs = 20000;
constexpr UInt32 kControlOption = controlKey | optionKey;
constexpr EventHotKeyID kPort0 = {0x50434831, 1};
constexpr EventHotKeyID kPort1 = {0x50434832, 2};
const QString kPortalName = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kDesktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kGlobalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const std::string kNotAvailable = "portvane: global hot keys are not available: ";

using Bound = std::vector<std::pair<std::string, std::string>>;  // id, preferred trigger

// The portal's GlobalShortcuts as a client sees it: the version property,
// CreateSession and BindShortcuts answered through Request::Response, and the
// session's Close. It answers on its own thread, since the program waits for
// the portal on the main thread.
class FakePortal : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    if (member == QLatin1String("Get")) {
      if (version < 0) return connection.send(message.createErrorReply(QDBusError::UnknownInterface, member));
      return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(uint(version.load())))));
    }
    if (member == QLatin1String("CreateSession")) {
      const QVariantMap options = qdbus_cast<QVariantMap>(arguments.value(0));
      const QString session = PathFor(message, QStringLiteral("/session/"), options.value("session_handle_token"));
      {
        std::lock_guard lock(mutex);
        client = message.service();
        if (createCode == 0) sessionHandle = session;
        ++sessions;
      }
      QVariantMap results;
      if (createCode == 0) results.insert(QStringLiteral("session_handle"), session);
      return Answer(message, connection, options, createCode, results);
    }
    if (member == QLatin1String("BindShortcuts")) {
      Bound bound;
      const QDBusArgument shortcuts = arguments.value(1).value<QDBusArgument>();
      shortcuts.beginArray();
      while (!shortcuts.atEnd()) {
        QString id;
        QVariantMap properties;
        shortcuts.beginStructure();
        shortcuts >> id >> properties;
        shortcuts.endStructure();
        bound.emplace_back(id.toStdString(), properties.value("preferred_trigger").toString().toStdString());
      }
      shortcuts.endArray();
      {
        std::lock_guard lock(mutex);
        binds.push_back({arguments.value(0).value<QDBusObjectPath>().path(), std::move(bound)});
      }
      return Answer(message, connection, qdbus_cast<QVariantMap>(arguments.value(3)), bindCode, {});
    }
    if (member == QLatin1String("Close")) {
      std::lock_guard lock(mutex);
      closed.push_back(message.path());
      return true;
    }
    return connection.send(message.createErrorReply(QDBusError::UnknownMethod, member));
  }

  struct Bind {
    QString session;
    Bound shortcuts;
  };
  std::atomic<int> version{1};  // -1: no GlobalShortcuts interface at all
  std::atomic<uint> createCode{0};
  std::atomic<uint> bindCode{0};
  std::mutex mutex;
  QString client;
  QString sessionHandle;
  int sessions = 0;
  std::vector<Bind> binds;
  std::vector<QString> closed;

 private:
  static QString PathFor(const QDBusMessage& message, const QString& kind, const QVariant& token) {
    QString sender = message.service().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kDesktopPath + kind + sender + QLatin1Char('/') + token.toString();
  }

  // The call's Request handle, then its Response, as the portal sends them.
  static bool Answer(const QDBusMessage& message, const QDBusConnection& connection, const QVariantMap& options,
                     uint code, const QVariantMap& results) {
    const QString request = PathFor(message, QStringLiteral("/request/"), options.value("handle_token"));
    connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
    QDBusMessage response = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"),
                                                       QStringLiteral("Response"));
    response << code << results;
    return connection.send(response);
  }
};

class PortalShortcutsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    address_ = testsupport::StartPrivateBus(&daemon_, kWatchdogMs);
    if (address_.empty()) GTEST_SKIP() << "dbus-daemon is not available";
    bus_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(address_), QStringLiteral("fake-portal")));
    ASSERT_TRUE(bus_->isConnected());
    thread_.start();
    portal_.moveToThread(&thread_);
    bool registered = false;
    QMetaObject::invokeMethod(
        &portal_,
        [&] { registered = bus_->registerVirtualObject(kDesktopPath, &portal_, QDBusConnection::SubPath); },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(registered);
    ASSERT_TRUE(bus_->registerService(kPortalName));
    platform::useHotKeyPortalBus(address_);
    static const EventTypeSpec types[] = {{kEventClassKeyboard, kEventHotKeyPressed}};
    InstallEventHandler(GetApplicationEventTarget(), Record, 1, types, this, &handler_);
  }
  void TearDown() override {
    for (EventHotKeyRef ref : refs_) UnregisterEventHotKey(ref);
    platform::useHotKeyPortalBus("");
    platform::drainMainQueue();
    if (handler_) RemoveEventHandler(handler_);
    if (bus_) {
      QMetaObject::invokeMethod(
          &portal_, [&] { bus_->unregisterObject(kDesktopPath, QDBusConnection::UnregisterTree); },
          Qt::BlockingQueuedConnection);
      bus_.reset();
      QDBusConnection::disconnectFromBus(QStringLiteral("fake-portal"));
    }
    thread_.quit();
    thread_.wait();
    testsupport::StopPrivateBus(daemon_);
  }

  static OSStatus Record(EventHandlerCallRef, EventRef event, void* self) {
    EventHotKeyID id = {};
    GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, nullptr, sizeof id, nullptr, &id);
    static_cast<PortalShortcutsTest*>(self)->presses_.push_back(id);
    return noErr;
  }

  OSStatus Register(UInt32 code, UInt32 modifiers, EventHotKeyID id) {
    EventHotKeyRef ref = nullptr;
    const OSStatus status = RegisterEventHotKey(code, modifiers, id, GetApplicationEventTarget(), 0, &ref);
    EXPECT_EQ(status == noErr, ref != nullptr);
    if (ref) refs_.push_back(ref);
    return status;
  }

  // Runs the Qt loop and the main queue until `done` holds or the watchdog ends.
  static void RunUntil(const std::function<bool()>& done) {
    QElapsedTimer watchdog;
    watchdog.start();
    while (!done() && watchdog.elapsed() < kWatchdogMs) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      platform::drainMainQueue();
    }
  }

  size_t Binds() {
    std::lock_guard lock(portal_.mutex);
    return portal_.binds.size();
  }
  FakePortal::Bind LastBind() {
    std::lock_guard lock(portal_.mutex);
    return portal_.binds.empty() ? FakePortal::Bind{} : portal_.binds.back();
  }

  void Activate(const QString& session, const QString& id) {
    QString client;
    {
      std::lock_guard lock(portal_.mutex);
      client = portal_.client;
    }
    QDBusMessage activated =
        QDBusMessage::createTargetedSignal(client, kDesktopPath, kGlobalShortcuts, QStringLiteral("Activated"));
    activated << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1234) << QVariantMap();
    ASSERT_TRUE(bus_->send(activated));
  }

  std::string address_;
  pid_t daemon_ = -1;
  std::unique_ptr<QDBusConnection> bus_;
  QThread thread_;
  FakePortal portal_;
  EventHandlerRef handler_ = nullptr;
  std::vector<EventHotKeyRef> refs_;
  std::vector<EventHotKeyID> presses_;
};

TEST_F(PortalShortcutsTest, KeysAreBoundWithTheirTriggersActivationsPressThemAndChangesRebind) {
  testsupport::StderrCapture err;
  ASSERT_EQ(noErr, Register(18, kControlOption, kPort0));            // 1
  ASSERT_EQ(noErr, Register(0x53, kControlOption | shiftKey, kPort1));  // keypad 1
  EXPECT_EQ(0u, Binds()) << "bound from the main queue, both at once";
  RunUntil([&] { return Binds() == 1; });
  const FakePortal::Bind first = LastBind();
  EXPECT_EQ((Bound{{"PCH1-1", "CTRL+ALT+1"}, {"PCH2-2", "CTRL+ALT+SHIFT+KP_1"}}), first.shortcuts);
  QString session;
  {
    std::lock_guard lock(portal_.mutex);
    session = portal_.sessionHandle;
  }
  EXPECT_EQ(session, first.session);

  // Another session's activation and an unknown id come first and press nothing.
  Activate(kDesktopPath + QStringLiteral("/session/other/s"), QStringLiteral("PCH2-2"));
  Activate(session, QStringLiteral("PCH9-9"));
  Activate(session, QStringLiteral("PCH2-2"));
  RunUntil([&] { return !presses_.empty(); });
  ASSERT_EQ(1u, presses_.size());
  EXPECT_EQ(kPort1.signature, presses_[0].signature);
  EXPECT_EQ(2u, presses_[0].id);

  // The settings change the first key: released and registered again, one bind.
  ASSERT_EQ(noErr, UnregisterEventHotKey(refs_[0]));
  refs_.erase(refs_.begin());
  ASSERT_EQ(noErr, Register(0x31, kControlOption, kPort0));  // Space
  RunUntil([&] { return Binds() == 2; });
  platform::drainMainQueue();
  EXPECT_EQ(2u, Binds());
  EXPECT_EQ((Bound{{"PCH2-2", "CTRL+ALT+SHIFT+KP_1"}, {"PCH1-1", "CTRL+ALT+space"}}), LastBind().shortcuts);
  Activate(session, QStringLiteral("PCH1-1"));
  RunUntil([&] { return presses_.size() == 2; });
  ASSERT_EQ(2u, presses_.size());
  EXPECT_EQ(1u, presses_[1].id);

  // With the last key the session closes.
  for (EventHotKeyRef ref : refs_) UnregisterEventHotKey(ref);
  refs_.clear();
  platform::drainMainQueue();
  RunUntil([&] {
    std::lock_guard lock(portal_.mutex);
    return !portal_.closed.empty();
  });
  {
    std::lock_guard lock(portal_.mutex);
    EXPECT_EQ(1, portal_.sessions);
    EXPECT_EQ(std::vector<QString>{session}, portal_.closed);
  }
  EXPECT_EQ(2u, Binds());
  EXPECT_EQ("", err.take());
}

TEST_F(PortalShortcutsTest, APortalThatCannotServeIsSaidInOneLineAndKeysFailAsWithoutX) {
  testsupport::StderrCapture err;
  const auto failsWith = [&](const std::string& reason) {
    platform::useHotKeyPortalBus(address_);
    EXPECT_EQ(eventInternalErr, Register(18, kControlOption, kPort0));
    EXPECT_EQ(eventInternalErr, Register(19, kControlOption, kPort1));  // quietly now
    EXPECT_EQ(kNotAvailable + reason + "\n", err.take());
    EXPECT_TRUE(platform::registeredHotKeys().empty());
  };
  portal_.version = 0;
  failsWith("the desktop portal's GlobalShortcuts interface is too old (version 0)");
  portal_.version = -1;
  failsWith("the desktop portal has no GlobalShortcuts interface");
  portal_.version = 1;
  portal_.createCode = 2;
  failsWith("the desktop portal refused the session (response 2)");
  ASSERT_TRUE(bus_->unregisterService(kPortalName));
  failsWith("no desktop portal on the session bus");
  ASSERT_TRUE(bus_->registerService(kPortalName));

  // The keys refused when the portal asks the user: known only later.
  platform::useHotKeyPortalBus(address_);
  portal_.createCode = 0;
  portal_.bindCode = 1;
  EXPECT_EQ(noErr, Register(18, kControlOption, kPort0));
  std::string said;
  RunUntil([&] { return !(said += err.take()).empty(); });
  EXPECT_EQ(kNotAvailable + "the desktop portal refused the hot keys (response 1)\n", said);
}

TEST_F(PortalShortcutsTest, ThePortalGoingAwayIsSaidOnceAndAPortalBackServesTheNextKeys) {
  testsupport::StderrCapture err;
  ASSERT_EQ(noErr, Register(18, kControlOption, kPort0));
  RunUntil([&] { return Binds() == 1; });
  const QString gone = LastBind().session;
  ASSERT_TRUE(bus_->unregisterService(kPortalName));
  std::string said;
  RunUntil([&] { return !(said += err.take()).empty(); });
  EXPECT_EQ(kNotAvailable + "the desktop portal went away\n", said);

  // The old session's activation reaches nothing; releasing its key binds nothing.
  Activate(gone, QStringLiteral("PCH1-1"));
  ASSERT_EQ(noErr, UnregisterEventHotKey(refs_[0]));
  refs_.clear();
  platform::drainMainQueue();

  // The next key opens a session with the portal that is back.
  ASSERT_TRUE(bus_->registerService(kPortalName));
  ASSERT_EQ(noErr, Register(19, kControlOption, kPort1));
  RunUntil([&] { return Binds() == 2; });
  EXPECT_NE(gone, LastBind().session);
  EXPECT_EQ((Bound{{"PCH2-2", "CTRL+ALT+2"}}), LastBind().shortcuts);
  Activate(LastBind().session, QStringLiteral("PCH2-2"));
  RunUntil([&] { return !presses_.empty(); });
  // Sent after the old one, so that one was seen and dropped by now.
  ASSERT_EQ(1u, presses_.size());
  EXPECT_EQ(2u, presses_[0].id);
  EXPECT_EQ("", err.take());
}

}  // namespace
