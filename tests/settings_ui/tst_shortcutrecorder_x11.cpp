// The shortcut recorder on a real X server with the real global key grab: pressing the shortcut
// in use while the recorder captures records it instead of starting a dictation, and the
// shortcut recorded is the one the desktop delivers afterwards.
#include "platform/hotkeybackend.h"
#include "shortcut/hotkeymanager.h"
#include "support/testsession.h"
#include "uiharness.h"

#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VoxendoPlugin)

using namespace voxendo;
using namespace voxendo::test;

namespace {

bool xdotoolKey(const QString &chord)
{
    return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), chord}) == 0;
}

const QByteArray recorderPage = R"(
import QtQuick
import Voxendo
Rectangle {
    width: 560; height: 160
    ShortcutRecorderView { x: 20; y: 20; width: 520 }
}
)";

} // namespace

class TestShortcutRecorderX11 : public QObject
{
    Q_OBJECT

    UiManagers *m = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        VOXENDO_REQUIRE_SESSION(SessionPart::X11);
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        prepareUiTest();
        m = &UiManagers::install(platform::createHotkeyBackend());
    }

    void currentShortcutIsRecordedThenANewOneGrabbed()
    {
        m->reset(); // registers Alt+Space
        QVERIFY2(m->hotkeys->isRegistered(), "Alt+Space is held by another client (a window manager binding?)");
        QVERIFY(xdotoolKey(QStringLiteral("alt+space")));
        QTRY_COMPARE(m->hotKeyPresses, 1); // the grab works

        ViewHarness h;
        QVERIFY(h.loadData(recorderPage, QSize(560, 160)));
        h.view()->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(h.view()));
        QQuickItem *recorder = h.find("shortcutRecorder");

        QVERIFY(h.click("shortcutChips"));
        QVERIFY(recorder->property("isRecording").toBool());
        QVERIFY(xdotoolKey(QStringLiteral("alt+space")));
        QTRY_VERIFY(!recorder->property("isRecording").toBool());
        QTest::qWait(100);
        QCOMPARE(m->hotKeyPresses, 1); // recorded, no dictation started
        QCOMPARE(m->hotkeys->currentShortcut(), HotkeyShortcut::defaultShortcut());
        QVERIFY(m->hotkeys->isRegistered());

        // A new chord typed on the keyboard becomes the desktop-wide shortcut.
        QVERIFY(h.click("shortcutChips"));
        QVERIFY(xdotoolKey(QStringLiteral("ctrl+shift+d")));
        QTRY_VERIFY(!recorder->property("isRecording").toBool());
        QCOMPARE(m->hotkeys->currentShortcut(),
                 (HotkeyShortcut{2, HotkeyShortcut::controlKey | HotkeyShortcut::shiftKey}));
        QVERIFY(m->hotkeys->isRegistered());
        QVERIFY(xdotoolKey(QStringLiteral("ctrl+shift+d")));
        QTRY_COMPARE(m->hotKeyPresses, 2);
        QVERIFY(xdotoolKey(QStringLiteral("alt+space"))); // the old one is free again
        QTest::qWait(200);
        QCOMPARE(m->hotKeyPresses, 2);

        m->hotkeys->updateShortcut(HotkeyShortcut::defaultShortcut());
    }
};

QTEST_MAIN(TestShortcutRecorderX11)
#include "tst_shortcutrecorder_x11.moc"
