// The global shortcut on a real X server (the test session's Xvfb; its openbox binds no keys):
// grabs, presses typed through XTest, lock keys, autorepeat, and a chord another client holds.
#include "platform/x11/x11hotkeybackend.h"
#include "shortcut/hotkeymanager.h"
#include "shortcut/keytables.h"
#include "support/capture.h"
#include "support/testsession.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#undef Status

using namespace voxendo;
using namespace voxendo::test;

namespace {

// A second X client: types chords through XTest and holds grabs of its own.
class XClient
{
public:
    XClient()
        : m_display(XOpenDisplay(nullptr))
    {
    }
    ~XClient()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    bool isOpen() const { return m_display; }

    void down(KeySym key) { fake(key, true); }
    void up(KeySym key) { fake(key, false); }

    // Presses the keys in order and releases them in reverse.
    void type(std::initializer_list<KeySym> keys)
    {
        for (KeySym k : keys)
            down(k);
        for (auto it = std::rbegin(keys); it != std::rend(keys); ++it)
            up(*it);
    }

    void setLocks(unsigned mask, bool on)
    {
        XkbLockModifiers(m_display, XkbUseCoreKbd, mask, on ? mask : 0);
        XSync(m_display, False);
    }

    // Grabs on the root window like another application would; the X error code, or 0.
    int grab(KeySym key, unsigned modifiers)
    {
        s_error = 0;
        XErrorHandler previous = XSetErrorHandler(&record);
        XGrabKey(m_display, XKeysymToKeycode(m_display, key), modifiers, DefaultRootWindow(m_display),
                 False, GrabModeAsync, GrabModeAsync);
        XSync(m_display, False);
        XSetErrorHandler(previous);
        return s_error;
    }
    void ungrab(KeySym key, unsigned modifiers)
    {
        XUngrabKey(m_display, XKeysymToKeycode(m_display, key), modifiers, DefaultRootWindow(m_display));
        XSync(m_display, False);
    }
    // Whether another client holds `key` with `modifiers`: our own grab of it is refused.
    bool heldElsewhere(KeySym key, unsigned modifiers)
    {
        const int error = grab(key, modifiers);
        if (!error)
            ungrab(key, modifiers);
        return error == BadAccess;
    }

    Display *display() const { return m_display; }

private:
    void fake(KeySym key, bool press)
    {
        XTestFakeKeyEvent(m_display, XKeysymToKeycode(m_display, key), press, CurrentTime);
        XSync(m_display, False);
    }
    static int record(Display *, XErrorEvent *event)
    {
        s_error = event->error_code;
        return 0;
    }
    static inline int s_error = 0;
    Display *m_display;
};

constexpr unsigned NumLock = Mod2Mask; // Xvfb's keymap

} // namespace

class TestX11Hotkey : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<XClient> m_client;
    std::unique_ptr<QSettings> m_settings;

    std::unique_ptr<HotkeyManager> makeManager()
    {
        return std::make_unique<HotkeyManager>(platform::createHotkeyBackend(), m_settings.get());
    }

private Q_SLOTS:
    void initTestCase()
    {
        VOXENDO_REQUIRE_SESSION(SessionPart::X11);
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        m_client = std::make_unique<XClient>();
        QVERIFY(m_client->isOpen());
    }

    void init()
    {
        static int n = 0;
        m_settings = std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("s%1.ini").arg(++n)),
                                                 QSettings::IniFormat);
    }

    void cleanup()
    {
        if (m_client)
            m_client->setLocks(LockMask | NumLock, false);
    }

    void defaultShortcutPressesWhateverTheLocks()
    {
        ConsoleCapture console;
        auto manager = makeManager();
        QSignalSpy presses(manager.get(), &HotkeyManager::hotKeyPressed);
        manager->registerHotKey();
        QCOMPARE(console.lines(), QStringList{"Hotkey registered: Option + Space"});

        m_client->type({XK_Alt_L, XK_space});
        QTRY_COMPARE(presses.size(), 1);
        m_client->setLocks(NumLock, true);
        m_client->type({XK_Alt_L, XK_space});
        QTRY_COMPARE(presses.size(), 2);
        m_client->setLocks(LockMask, true);
        m_client->type({XK_Alt_L, XK_space});
        QTRY_COMPARE(presses.size(), 3);
        m_client->setLocks(NumLock, false);
        m_client->type({XK_Alt_L, XK_space});
        QTRY_COMPARE(presses.size(), 4);
        // Space alone, or with another modifier, is not the chord.
        m_client->type({XK_space});
        m_client->type({XK_Control_L, XK_space});
        m_client->type({XK_Alt_L, XK_space}); // in order after the two above
        QTRY_COMPARE(presses.size(), 5);
        QTest::qWait(50);
        QCOMPARE(presses.size(), 5);
    }

    // Holding the chord must not toggle dictation on and off at the autorepeat rate.
    void heldChordPressesOnce()
    {
        auto manager = makeManager();
        QSignalSpy presses(manager.get(), &HotkeyManager::hotKeyPressed);
        manager->registerHotKey();

        unsigned delay = 0, interval = 0;
        XkbGetAutoRepeatRate(m_client->display(), XkbUseCoreKbd, &delay, &interval);
        XkbSetAutoRepeatRate(m_client->display(), XkbUseCoreKbd, 50, 20);
        XSync(m_client->display(), False);

        // The backend notes each repeat it drops: proof that the server did repeat.
        QLoggingCategory::setFilterRules(QStringLiteral("com.voxendo.app.Platform.debug=true"));
        LogCapture log;
        m_client->down(XK_Alt_L);
        m_client->down(XK_space);
        QTest::qWait(400); // ~17 repeats at this rate
        m_client->up(XK_space);
        m_client->up(XK_Alt_L);
        m_client->type({XK_Alt_L, XK_space});
        QTRY_COMPARE(presses.size(), 2);
        QTest::qWait(50);
        QCOMPARE(presses.size(), 2);
        QLoggingCategory::setFilterRules({});
        QVERIFY(log.messages("com.voxendo.app.Platform").count("hot key autorepeat ignored") > 5);

        XkbSetAutoRepeatRate(m_client->display(), XkbUseCoreKbd, delay, interval);
        XSync(m_client->display(), False);
    }

    void updateMovesTheGrab()
    {
        auto manager = makeManager();
        QSignalSpy presses(manager.get(), &HotkeyManager::hotKeyPressed);
        manager->registerHotKey();

        ConsoleCapture console;
        manager->updateShortcut({2, 4608}); // Control + Shift + D
        QCOMPARE(console.lines(), QStringList{"Hotkey registered: Control + Shift + D"});
        QCOMPARE(m_settings->value("hotkeyKeyCode").toUInt(), 2u);
        QCOMPARE(m_settings->value("hotkeyModifiers").toUInt(), 4608u);

        m_client->type({XK_Control_L, XK_Shift_L, XK_d});
        QTRY_COMPARE(presses.size(), 1);
        // The old chord typed between two new ones: events arrive in order, so a press of the
        // old one would be counted before the second new one.
        m_client->type({XK_Alt_L, XK_space});
        m_client->type({XK_Control_L, XK_Shift_L, XK_d});
        QTRY_COMPARE(presses.size(), 2);
        QTest::qWait(50);
        QCOMPARE(presses.size(), 2);
        QVERIFY(!m_client->heldElsewhere(XK_space, Mod1Mask));
        QVERIFY(m_client->heldElsewhere(XK_d, ControlMask | ShiftMask | NumLock));

        manager->unregisterHotKey();
        QVERIFY(!m_client->heldElsewhere(XK_d, ControlMask | ShiftMask));
    }

    void chordHeldByAnotherClient()
    {
        QCOMPARE(m_client->grab(XK_d, ControlMask | ShiftMask), 0);
        auto manager = makeManager();
        QSignalSpy presses(manager.get(), &HotkeyManager::hotKeyPressed);
        manager->registerHotKey();

        ConsoleCapture console;
        manager->updateShortcut({2, 4608});
        QCOMPARE(console.lines(), QStringList{"Failed to register hotkey: 10"});
        QVERIFY(!manager->isRegistered());
        QCOMPARE(manager->currentShortcut(), (HotkeyShortcut{2, 4608}));
        // The lock variants that were free are not left behind, nor is the old chord.
        QVERIFY(!m_client->heldElsewhere(XK_d, ControlMask | ShiftMask | NumLock));
        QVERIFY(!m_client->heldElsewhere(XK_space, Mod1Mask));

        // Once the other application lets go, registering again works.
        m_client->ungrab(XK_d, ControlMask | ShiftMask);
        console.clear();
        manager->registerHotKey();
        QCOMPARE(console.lines(), QStringList{"Hotkey registered: Control + Shift + D"});
        m_client->type({XK_Control_L, XK_Shift_L, XK_d});
        QTRY_COMPARE(presses.size(), 1);
    }

    // A new keyboard layout moves keys: the chord follows its symbol (Z sits elsewhere on German
    // keyboards) instead of staying on the old key.
    void followsAKeyboardLayoutChange()
    {
        struct RestoreLayout
        {
            ~RestoreLayout() { QProcess::execute(QStringLiteral("setxkbmap"), {QStringLiteral("us")}); }
        } restore;

        auto manager = makeManager();
        QSignalSpy presses(manager.get(), &HotkeyManager::hotKeyPressed);
        manager->updateShortcut({6, 4608}); // Control + Shift + Z
        QVERIFY(manager->isRegistered());
        QCOMPARE(QProcess::execute(QStringLiteral("setxkbmap"), {QStringLiteral("de")}), 0);

        XClient german; // a new connection reads the new keymap
        QTRY_VERIFY(german.heldElsewhere(XK_z, ControlMask | ShiftMask));
        QVERIFY(!german.heldElsewhere(XK_y, ControlMask | ShiftMask)); // the key Z was on
        german.type({XK_Control_L, XK_Shift_L, XK_z});
        QTRY_COMPARE(presses.size(), 1);
    }

    // Every key the tables know reaches a key of the server's keymap: by symbol, or by position
    // where the layout gives it another symbol (F13-F20). Registering again replaces the chord,
    // and destroying the backend lets go of it.
    void everyKnownKeyCanBeGrabbed()
    {
        const quint32 all = HotkeyShortcut::cmdKey | HotkeyShortcut::shiftKey
            | HotkeyShortcut::optionKey | HotkeyShortcut::controlKey;
        {
            platform::X11HotkeyBackend backend;
            for (const keytables::KeyEntry &key : keytables::entries()) {
                const platform::Status status = backend.registerHotkey({key.keyCode, all});
                QVERIFY2(status.ok(), qPrintable(QStringLiteral("key code %1: %2").arg(key.keyCode).arg(status.message)));
            }
            QVERIFY(!m_client->heldElsewhere(XK_a, Mod4Mask | Mod1Mask | ShiftMask | ControlMask));
            QCOMPARE(backend.registerHotkey({0, all}).code, 0);
            QVERIFY(m_client->heldElsewhere(XK_a, Mod4Mask | Mod1Mask | ShiftMask | ControlMask));
        }
        QVERIFY(!m_client->heldElsewhere(XK_a, Mod4Mask | Mod1Mask | ShiftMask | ControlMask));
    }
};

QTEST_MAIN(TestX11Hotkey)
#include "tst_x11hotkey.moc"
