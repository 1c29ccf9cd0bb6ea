// The login session being switched out and back in: one system event per
// change of logind's Active property, through the test hook and through a
// stand-in logind on a private bus; and a quiet refusal without a system bus.
// The end of a sleep, announced by the stand-in, runs the wake handler.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/core/main_queue.h"
#include "platform/desktop/session.h"
#include "platform/desktop/session_testing.h"
#include "platform/ui/carbon_events.h"
#include "tests/support/framework_test_app.h"
#include "tests/support/private_bus.h"
#include "tests/support/stderr_capture.h"

namespace {

constexpr int kWatchdogMs = 20000;

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::resetSessionWatch();
    static const EventTypeSpec types[] = {{kEventClassSystem, kEventSystemUserSessionActivated},
                                          {kEventClassSystem, kEventSystemUserSessionDeactivated}};
    InstallEventHandler(GetApplicationEventTarget(), Record, 2, types, this, &handler_);
  }
  void TearDown() override {
    platform::resetSessionWatch();
    platform::drainMainQueue();
    RemoveEventHandler(handler_);
  }

  static OSStatus Record(EventHandlerCallRef, EventRef event, void* self) {
    static_cast<SessionTest*>(self)->kinds_.push_back(GetEventKind(event));
    return noErr;
  }

  // Runs the Qt loop and the main queue until `count` events arrived.
  void WaitForEvents(size_t count) {
    QElapsedTimer watchdog;
    watchdog.start();
    while (kinds_.size() < count && watchdog.elapsed() < kWatchdogMs) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
      platform::drainMainQueue();
    }
  }

  EventHandlerRef handler_ = nullptr;
  std::vector<UInt32> kinds_;
};

TEST_F(SessionTest, EachChangePostsOneEventAndRepeatsPostNothing) {
  EXPECT_TRUE(platform::sessionActive());
  platform::simulateSessionActive(true);  // active already
  platform::drainMainQueue();
  EXPECT_TRUE(kinds_.empty());

  platform::simulateSessionActive(false);
  EXPECT_TRUE(kinds_.empty());  // posted, not sent
  platform::simulateSessionActive(false);
  platform::drainMainQueue();
  EXPECT_EQ(std::vector<UInt32>{kEventSystemUserSessionDeactivated}, kinds_);
  EXPECT_FALSE(platform::sessionActive());

  platform::simulateSessionActive(true);
  platform::simulateSessionActive(true);
  platform::drainMainQueue();
  EXPECT_EQ((std::vector<UInt32>{11, 10}), kinds_);
}

TEST_F(SessionTest, WithoutSystemBusStartFailsQuietly) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/portvane/system_bus_socket", 1);
  testsupport::StderrCapture err;
  EXPECT_FALSE(platform::startSessionWatch());
  EXPECT_FALSE(platform::startSessionWatchOnBus("unix:path=/nonexistent/portvane/bus"));
  platform::drainMainQueue();
  EXPECT_TRUE(kinds_.empty());
  EXPECT_EQ("", err.take());
}

// ---- A stand-in for logind on a private bus

const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/_31");
const QString kSessionInterface = QStringLiteral("org.freedesktop.login1.Session");

// The manager's session look-ups and the session's properties. It answers on
// its own thread, since the watch waits for its answers on the main thread.
class FakeLogind : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const QString member = message.member();
    if (message.path() == QLatin1String("/org/freedesktop/login1") &&
        (member == QLatin1String("GetSession") || member == QLatin1String("GetSessionByPID"))) {
      return connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(kSessionPath))));
    }
    if (message.path() == kSessionPath && member == QLatin1String("Get") && message.arguments().size() == 2 &&
        message.arguments().at(1).toString() == QLatin1String("Active")) {
      ++reads;
      return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(active.load()))));
    }
    return connection.send(message.createErrorReply(QDBusError::UnknownMethod, member));
  }

  std::atomic<bool> active{true};
  std::atomic<int> reads{0};
};

class FakeLogindTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    address_ = testsupport::StartPrivateBus(&daemon_, kWatchdogMs);
    if (address_.empty()) GTEST_SKIP() << "dbus-daemon is not available";
    bus_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(address_), QStringLiteral("fake-logind")));
    ASSERT_TRUE(bus_->isConnected());
    thread_.start();
    logind_.moveToThread(&thread_);
    // Registered from its own thread, where the bus attaches its helpers to it.
    bool registered = false;
    QMetaObject::invokeMethod(
        &logind_,
        [&] {
          registered = bus_->registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), &logind_,
                                                   QDBusConnection::SubPath);
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(registered);
    ASSERT_TRUE(bus_->registerService(QStringLiteral("org.freedesktop.login1")));
  }
  void TearDown() override {
    SessionTest::TearDown();
    if (bus_) {
      QMetaObject::invokeMethod(
          &logind_,
          [&] { bus_->unregisterObject(QStringLiteral("/org/freedesktop/login1"), QDBusConnection::UnregisterTree); },
          Qt::BlockingQueuedConnection);
      bus_.reset();
      QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
    }
    thread_.quit();
    thread_.wait();
    testsupport::StopPrivateBus(daemon_);
  }

  void Announce(const QString& interface, const QVariantMap& changed, const QStringList& invalidated) {
    QDBusMessage signal = QDBusMessage::createSignal(kSessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << interface << changed << invalidated;
    ASSERT_TRUE(bus_->send(signal));
  }

  std::string address_;
  pid_t daemon_ = -1;
  std::unique_ptr<QDBusConnection> bus_;
  QThread thread_;
  FakeLogind logind_;
};

TEST_F(FakeLogindTest, ChangesOfActiveBecomeSessionEvents) {
  ASSERT_TRUE(platform::startSessionWatchOnBus(address_));
  platform::drainMainQueue();
  EXPECT_TRUE(kinds_.empty());  // active at start: nothing to say

  // Another interface's properties, and a signal that leaves Active alone,
  // come first and change nothing.
  Announce(QStringLiteral("org.freedesktop.login1.User"), {{QStringLiteral("Active"), false}}, {});
  Announce(kSessionInterface, {{QStringLiteral("IdleHint"), true}}, {});
  Announce(kSessionInterface, {{QStringLiteral("Active"), false}}, {});
  WaitForEvents(1);
  EXPECT_EQ(std::vector<UInt32>{kEventSystemUserSessionDeactivated}, kinds_);

  // Only invalidated: the watch reads the new value itself.
  logind_.active = true;
  Announce(kSessionInterface, {}, {QStringLiteral("Active")});
  WaitForEvents(2);
  EXPECT_EQ((std::vector<UInt32>{11, 10}), kinds_);
  EXPECT_EQ(2, logind_.reads.load());
}

TEST_F(FakeLogindTest, OnlyTheEndOfASleepRunsTheWakeHandlerOnce) {
  int wakes = 0;
  platform::setWakeHandler([&] { ++wakes; });
  ASSERT_TRUE(platform::startSessionWatchOnBus(address_));
  for (bool sleeping : {true, false}) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"));
    signal << sleeping;
    ASSERT_TRUE(bus_->send(signal));
  }
  QElapsedTimer watchdog;
  watchdog.start();
  while (wakes == 0 && watchdog.elapsed() < kWatchdogMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    platform::drainMainQueue();
  }
  // Both signals came in order: the sleep itself ran nothing.
  EXPECT_EQ(1, wakes);
  EXPECT_TRUE(kinds_.empty());
  platform::setWakeHandler(nullptr);
}

TEST_F(FakeLogindTest, SessionInactiveAtStartIsReported) {
  logind_.active = false;
  ASSERT_TRUE(platform::startSessionWatchOnBus(address_));
  platform::drainMainQueue();
  EXPECT_EQ(std::vector<UInt32>{kEventSystemUserSessionDeactivated}, kinds_);
}

TEST_F(FakeLogindTest, BusWithoutLogindIsRefusedQuietly) {
  testsupport::StderrCapture err;
  bus_->unregisterService(QStringLiteral("org.freedesktop.login1"));
  EXPECT_FALSE(platform::startSessionWatchOnBus(address_));
  EXPECT_EQ("", err.take());
}

}  // namespace
