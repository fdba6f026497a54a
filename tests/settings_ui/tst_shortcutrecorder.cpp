// The shortcut recorder with the hot-key manager on a fake backend: what a key press decides
// while capturing, the live modifier chips, and that the global hot key is released while the
// recorder listens and held again whichever way capturing ends.
#include "shortcut/hotkeymanager.h"
#include "uiharness.h"

#include <QKeyEvent>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VoxendoPlugin)

using namespace voxendo;
using namespace voxendo::test;

namespace {

// One key event as the recorder receives it: press and release of `key` with `modifiers` held.
struct Stroke
{
    Qt::Key key;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};

const QByteArray recorderPage = R"(
import QtQuick
import Voxendo
Rectangle {
    width: 560; height: 160
    ShortcutRecorderView { x: 20; y: 20; width: 520 }
}
)";

QStringList chipTexts(QQuickItem *area)
{
    QStringList texts;
    std::function<void(QQuickItem *)> walk = [&](QQuickItem *item) {
        if (!item->isVisible())
            return;
        if (item->inherits("QQuickText"))
            texts.append(item->property("text").toString());
        for (QQuickItem *child : item->childItems())
            walk(child);
    };
    walk(area);
    return texts;
}

} // namespace

Q_DECLARE_METATYPE(QList<Stroke>)

class TestShortcutRecorder : public QObject
{
    Q_OBJECT

    UiManagers *m = nullptr;
    std::unique_ptr<ViewHarness> h;

    QQuickItem *recorder() { return h->find("shortcutRecorder"); }
    bool capturing() { return recorder()->property("isRecording").toBool(); }
    QString hint() { return h->find("recorderHint")->property("text").toString(); }

private Q_SLOTS:
    void initTestCase()
    {
        prepareUiTest();
        m = &UiManagers::install();
    }

    void init()
    {
        m->reset();
        h = std::make_unique<ViewHarness>();
        QVERIFY(h->loadData(recorderPage, QSize(560, 160)));
        h->view()->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(h->view()));
    }

    void cleanup() { h.reset(); }

    void atRestShowsTheShortcutAsChips()
    {
        QCOMPARE(chipTexts(h->find("shortcutChips")), (QStringList{"Option", "+", "Space"}));
        QCOMPARE(hint(), QStringLiteral("Click to change shortcut"));
        m->hotkeys->updateShortcut(HotkeyShortcut{2, HotkeyShortcut::controlKey | HotkeyShortcut::shiftKey});
        QCOMPARE(chipTexts(h->find("shortcutChips")), (QStringList{"Control", "+", "Shift", "+", "D"}));
    }

    void capture_data()
    {
        QTest::addColumn<QList<Stroke>>("strokes");
        QTest::addColumn<bool>("stillCapturing");
        QTest::addColumn<quint32>("keyCode");   // the shortcut afterwards
        QTest::addColumn<quint32>("modifiers");
        QTest::addColumn<bool>("warning");

        // Capturing starts from Control+Shift+D, so a reset and a cancel are told apart.
        QTest::newRow("Escape cancels") << QList<Stroke>{{Qt::Key_Escape}} << false << 2u << 4608u << false;
        QTest::newRow("Ctrl+Escape cancels too")
            << QList<Stroke>{{Qt::Key_Escape, Qt::ControlModifier}} << false << 2u << 4608u << false;
        QTest::newRow("Backspace resets") << QList<Stroke>{{Qt::Key_Backspace}} << false << 49u << 2048u << false;
        QTest::newRow("Ctrl+Backspace resets too")
            << QList<Stroke>{{Qt::Key_Backspace, Qt::ControlModifier}} << false << 49u << 2048u << false;
        QTest::newRow("Delete resets") << QList<Stroke>{{Qt::Key_Delete}} << false << 49u << 2048u << false;
        QTest::newRow("Space alone is refused") << QList<Stroke>{{Qt::Key_Space}} << true << 2u << 4608u << true;
        QTest::newRow("then Option+Space is taken")
            << QList<Stroke>{{Qt::Key_Space}, {Qt::Key_Space, Qt::AltModifier}} << false << 49u << 2048u << false;
        QTest::newRow("F6 alone is taken") << QList<Stroke>{{Qt::Key_F6}} << false << 97u << 0u << false;
        QTest::newRow("Shift+A is taken") << QList<Stroke>{{Qt::Key_A, Qt::ShiftModifier}} << false << 0u << 512u << false;
        QTest::newRow("Super+Ctrl+K is taken")
            << QList<Stroke>{{Qt::Key_K, Qt::MetaModifier | Qt::ControlModifier}} << false << 40u << 4352u << false;
        // The window's own Ctrl+Q (Quit) is recorded, not acted on.
        QTest::newRow("Ctrl+Q is recorded") << QList<Stroke>{{Qt::Key_Q, Qt::ControlModifier}} << false << 12u << 4096u << false;
    }

    void capture()
    {
        QFETCH(QList<Stroke>, strokes);
        QFETCH(bool, stillCapturing);
        QFETCH(quint32, keyCode);
        QFETCH(quint32, modifiers);
        QFETCH(bool, warning);

        m->hotkeys->updateShortcut(HotkeyShortcut{2, HotkeyShortcut::controlKey | HotkeyShortcut::shiftKey});
        QVERIFY(h->click("shortcutChips"));
        QVERIFY(capturing());
        QVERIFY(!m->fakeHotkeys->heldChord()); // released while capturing
        QCOMPARE(hint(), QStringLiteral("Hold Ctrl, Alt, Shift or Super, then press a key  ·  Esc to cancel"));

        for (const Stroke &stroke : strokes)
            QTest::keyClick(h->view(), stroke.key, stroke.modifiers);

        QCOMPARE(capturing(), stillCapturing);
        QCOMPARE(m->hotkeys->currentShortcut(), (HotkeyShortcut{keyCode, modifiers}));
        if (warning) {
            QCOMPARE(hint(), QStringLiteral("⚠ Modifier required: Ctrl, Alt, Shift or Super + key"));
            QVERIFY(!m->fakeHotkeys->heldChord());
        } else {
            QCOMPARE(hint(), QStringLiteral("Click to change shortcut"));
            QCOMPARE(m->fakeHotkeys->heldChord(), std::optional(platform::HotkeyChord{keyCode, modifiers}));
            QVERIFY(m->hotkeys->isRegistered());
        }
    }

    // Pressing the shortcut in use while capturing records it; the hot key, released, cannot
    // start a dictation in the meantime.
    void currentShortcutIsRecordedNotTriggered()
    {
        QVERIFY(h->click("shortcutChips"));
        QVERIFY(!m->fakeHotkeys->trigger()); // nothing is held: no press can arrive
        QTest::keyClick(h->view(), Qt::Key_Space, Qt::AltModifier);
        QVERIFY(!capturing());
        QCOMPARE(m->hotKeyPresses, 0);
        QCOMPARE(m->hotkeys->currentShortcut(), HotkeyShortcut::defaultShortcut());
        QVERIFY(m->fakeHotkeys->trigger()); // held again
        QTRY_COMPARE(m->hotKeyPresses, 1);
    }

    void modifierChipsFollowTheHeldKeys()
    {
        QVERIFY(h->click("shortcutChips"));
        QQuickItem *area = h->findVisible("captureArea");
        QVERIFY(area);
        QCOMPARE(chipTexts(area), QStringList{QStringLiteral("…")});

        // One event each, with the state as X11 reports it: a modifier's own press does not
        // carry it yet, its release does. (QTest's helpers would press and release the other
        // modifiers around each event.)
        const auto send = [&](QEvent::Type type, Qt::Key key, Qt::KeyboardModifiers state) {
            QKeyEvent event(type, key, state);
            QCoreApplication::sendEvent(h->view(), &event);
        };
        send(QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier);
        // (The chips are made by a Repeater, which may build them a moment later.)
        QTRY_COMPARE(chipTexts(area), (QStringList{"Control", "+", "…"}));
        send(QEvent::KeyPress, Qt::Key_Alt, Qt::ControlModifier);
        QTRY_COMPARE(chipTexts(area), (QStringList{"Control", "+", "Option", "+", "…"}));
        send(QEvent::KeyRelease, Qt::Key_Alt, Qt::ControlModifier | Qt::AltModifier);
        QTRY_COMPARE(chipTexts(area), (QStringList{"Control", "+", "…"}));
        send(QEvent::KeyRelease, Qt::Key_Control, Qt::ControlModifier);
        QTRY_COMPARE(chipTexts(area), QStringList{QStringLiteral("…")});
        QVERIFY(capturing());
    }

    // The recorder going away mid-capture (another tab selected, the window's view rebuilt)
    // must not leave dictation without its hot key.
    void leavingWhileCapturingHoldsTheHotKeyAgain()
    {
        QVERIFY(h->click("shortcutChips"));
        QVERIFY(!m->fakeHotkeys->heldChord());
        h.reset();
        QCOMPARE(m->fakeHotkeys->heldChord(), std::optional(platform::HotkeyChord{49, 2048}));
    }

    void screenshotWhileCapturing()
    {
        QVERIFY(h->click("shortcutChips"));
        QTest::keyPress(h->view(), Qt::Key_Control, Qt::NoModifier);
        QTest::keyPress(h->view(), Qt::Key_Shift, Qt::ControlModifier);
        QVERIFY(h->screenshot(QStringLiteral("recorder-capturing")));
        QTest::keyClick(h->view(), Qt::Key_Space, Qt::NoModifier);
        QVERIFY(h->screenshot(QStringLiteral("recorder-warning")));
        QTest::keyClick(h->view(), Qt::Key_Escape);
        QVERIFY(h->screenshot(QStringLiteral("recorder-rest")));
    }
};

QTEST_MAIN(TestShortcutRecorder)
#include "tst_shortcutrecorder.moc"
