// The shortcut value: names, acceptability, modifier conversion, what the settings file holds
// and reads back, and which key a key event is.
#include "shortcut/hotkeyshortcut.h"
#include "shortcut/keytables.h"

#include <QJsonDocument>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VoxendoPlugin)

using namespace voxendo;
using Shortcut = HotkeyShortcut;

namespace {
constexpr quint32 Cmd = HotkeyShortcut::cmdKey;
constexpr quint32 Shift = HotkeyShortcut::shiftKey;
constexpr quint32 Option = HotkeyShortcut::optionKey;
constexpr quint32 Control = HotkeyShortcut::controlKey;
} // namespace

class TestHotkeyShortcut : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString settingsFile(const QByteArray &contents)
    {
        static int n = 0;
        const QString path = m_dir.filePath(QStringLiteral("settings%1.ini").arg(++n));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        file.write(contents);
        return path;
    }

private Q_SLOTS:
    void displayParts_data()
    {
        QTest::addColumn<quint32>("keyCode");
        QTest::addColumn<quint32>("modifiers");
        QTest::addColumn<QStringList>("parts");

        QTest::newRow("default") << 49u << Option << QStringList{"Option", "Space"};
        // Fixed order whatever order the bits were set in.
        QTest::newRow("all four modifiers") << 0u << (Cmd | Shift | Option | Control)
                                            << QStringList{"Control", "Option", "Shift", "Cmd", "A"};
        QTest::newRow("minus is U+2212") << 27u << 0u << QStringList{QString(QChar(0x2212))};
        QTest::newRow("backslash and grave") << 42u << Cmd << QStringList{"Cmd", "\\"};
        QTest::newRow("arrow") << 126u << Control << QStringList{"Control", QString(QChar(0x2191))};
        QTest::newRow("unnamed key") << 105u << 0u << QStringList{"Key105"};
        QTest::newRow("foreign bits ignored") << 40u << (Control | Shift | 1u | 0x10000u)
                                              << QStringList{"Control", "Shift", "K"};
    }

    void displayParts()
    {
        QFETCH(quint32, keyCode);
        QFETCH(quint32, modifiers);
        QFETCH(QStringList, parts);
        const Shortcut shortcut{keyCode, modifiers};
        QCOMPARE(shortcut.displayParts(), parts);
        QCOMPARE(shortcut.displayString(), parts.join(" + "));
    }

    void tablesAreCompleteAndConsistent()
    {
        QCOMPARE(Shortcut::keyNames().size(), 74);
        QCOMPARE(Shortcut::functionKeyCodes().size(), 12);
        QVERIFY(!Shortcut::keyNames().value(27).contains(QLatin1Char('-')));
        // Every key that has a name can be grabbed and recorded, and each native unit leads back
        // to exactly one key (a typo in the table shows up here as a wrong round trip).
        for (quint32 code : Shortcut::keyNames().keys())
            QVERIFY2(keytables::entryForKeyCode(code), qPrintable(QString::number(code)));
        QSet<quint32> seen;
        for (const keytables::KeyEntry &e : keytables::entries()) {
            QVERIFY2(!seen.contains(e.keyCode), qPrintable(QString::number(e.keyCode)));
            seen.insert(e.keyCode);
            QCOMPARE(keytables::keyCodeForKeysym(e.keysym), e.keyCode);
            QCOMPARE(keytables::keyCodeForScanCode(e.scanCode), e.keyCode);
            const Qt::KeyboardModifiers keypad = e.keypad ? Qt::KeypadModifier : Qt::NoModifier;
            QCOMPARE(keytables::keyCodeForKeyEvent(e.qtKey, keypad), e.keyCode);
        }
    }

    void isValid_data()
    {
        QTest::addColumn<quint32>("keyCode");
        QTest::addColumn<quint32>("modifiers");
        QTest::addColumn<bool>("valid");
        QTest::newRow("F5 alone") << 96u << 0u << true;
        QTest::newRow("F12 alone") << 111u << 0u << true;
        QTest::newRow("F13 alone") << 105u << 0u << false;
        QTest::newRow("Space alone") << 49u << 0u << false;
        QTest::newRow("Escape alone") << 53u << 0u << false;
        QTest::newRow("Shift+A") << 0u << Shift << true;
        QTest::newRow("default") << 49u << Option << true;
    }

    void isValid()
    {
        QFETCH(quint32, keyCode);
        QFETCH(quint32, modifiers);
        QFETCH(bool, valid);
        QCOMPARE((Shortcut{keyCode, modifiers}.isValid()), valid);
    }

    void carbonModifiers_data()
    {
        QTest::addColumn<Qt::KeyboardModifiers>("qt");
        QTest::addColumn<quint32>("carbon");
        QTest::newRow("none") << Qt::KeyboardModifiers() << 0u;
        // Qt has no Caps Lock flag; keypad and group switch are the flags it has beyond the four.
        QTest::newRow("Command + keypad + group switch")
            << (Qt::MetaModifier | Qt::KeypadModifier | Qt::GroupSwitchModifier) << Cmd;
        QTest::newRow("Option") << Qt::KeyboardModifiers(Qt::AltModifier) << Option;
        QTest::newRow("all four")
            << (Qt::MetaModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::ControlModifier)
            << (Cmd | Option | Shift | Control);
    }

    void carbonModifiers()
    {
        QFETCH(Qt::KeyboardModifiers, qt);
        QFETCH(quint32, carbon);
        QCOMPARE(Shortcut::carbonModifiers(qt), carbon);
        QCOMPARE(keytables::carbonFromQt(keytables::qtFromCarbon(carbon)), carbon);
    }

    void x11Modifiers_data()
    {
        using namespace keytables::x11;
        QTest::addColumn<quint32>("state");
        QTest::addColumn<quint32>("carbon");
        QTest::newRow("Command + Caps Lock") << (Mod4Mask | LockMask) << Cmd;
        QTest::newRow("Option + NumLock") << (Mod1Mask | Mod2Mask) << Option;
        QTest::newRow("Control + Shift") << (ControlMask | ShiftMask) << (Control | Shift);
    }

    void x11Modifiers()
    {
        QFETCH(quint32, state);
        QFETCH(quint32, carbon);
        QCOMPARE(keytables::carbonFromX11(state), carbon);
        const quint32 locks = keytables::x11::LockMask | keytables::x11::Mod2Mask;
        QCOMPARE(keytables::x11FromCarbon(carbon), state & ~locks);
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("found");
        QTest::addColumn<quint32>("keyCode");
        QTest::addColumn<quint32>("modifiers");
        QTest::newRow("fresh") << QByteArray() << false << 0u << 0u;
        QTest::newRow("only modifiers") << QByteArray("hotkeyModifiers=4096\n") << false << 0u << 0u;
        QTest::newRow("only key code") << QByteArray("hotkeyKeyCode=40\n") << true << 40u << 0u;
        QTest::newRow("both") << QByteArray("hotkeyKeyCode=2\nhotkeyModifiers=4608\n") << true << 2u << 4608u;
        QTest::newRow("largest") << QByteArray("hotkeyKeyCode=4294967295\nhotkeyModifiers=4294967295\n")
                                 << true << 4294967295u << 4294967295u;
        QTest::newRow("key code too large") << QByteArray("hotkeyKeyCode=4294967296\nhotkeyModifiers=0\n")
                                            << false << 0u << 0u;
        QTest::newRow("negative modifiers") << QByteArray("hotkeyKeyCode=2\nhotkeyModifiers=-1\n")
                                            << false << 0u << 0u;
        QTest::newRow("text") << QByteArray("hotkeyKeyCode=space\nhotkeyModifiers=2048\n") << false << 0u << 0u;
        QTest::newRow("fraction") << QByteArray("hotkeyKeyCode=2.5\n") << false << 0u << 0u;
        QTest::newRow("empty") << QByteArray("hotkeyKeyCode=\n") << false << 0u << 0u;
    }

    void load()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, found);
        QFETCH(quint32, keyCode);
        QFETCH(quint32, modifiers);
        QSettings settings(settingsFile("[General]\n" + ini), QSettings::IniFormat);
        const std::optional<Shortcut> loaded = Shortcut::load(settings);
        QCOMPARE(loaded.has_value(), found);
        if (found)
            QCOMPARE(*loaded, (Shortcut{keyCode, modifiers}));
    }

    void saveWritesBothIntegers()
    {
        const QString path = settingsFile({});
        for (const Shortcut shortcut : {Shortcut{2, Control | Shift}, Shortcut{4294967295u, 4294967295u}}) {
            {
                QSettings settings(path, QSettings::IniFormat);
                shortcut.save(settings);
            }
            QSettings reread(path, QSettings::IniFormat);
            QCOMPARE(reread.value("hotkeyKeyCode").toString(), QString::number(shortcut.keyCode));
            QCOMPARE(reread.value("hotkeyModifiers").toString(), QString::number(shortcut.modifiers));
            QCOMPARE(Shortcut::load(reread), shortcut);
        }
    }

    void json_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("both") << QByteArray(R"({"keyCode":2,"modifiers":4608})") << true;
        QTest::newRow("no modifiers") << QByteArray(R"({"keyCode":2})") << false;
        QTest::newRow("no key code") << QByteArray(R"({"modifiers":4608})") << false;
        QTest::newRow("negative") << QByteArray(R"({"keyCode":-2,"modifiers":4608})") << false;
        QTest::newRow("too large") << QByteArray(R"({"keyCode":4294967296,"modifiers":0})") << false;
        QTest::newRow("string") << QByteArray(R"({"keyCode":"2","modifiers":4608})") << false;
    }

    void json()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        const std::optional<Shortcut> decoded = Shortcut::fromJson(QJsonDocument::fromJson(json).object());
        QCOMPARE(decoded.has_value(), decodes);
        if (decodes) {
            QCOMPARE(*decoded, (Shortcut{2, 4608}));
            QCOMPARE(QJsonDocument(decoded->toJson()).toJson(QJsonDocument::Compact), json);
        }
    }

    // What the shortcut recorder will hand over: Qt's key, the modifiers, and the native scan
    // code and keysym (xcb fills both; QML's KeyEvent has the scan code only).
    void keyCodeForKeyEvent_data()
    {
        QTest::addColumn<int>("qtKey");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<quint32>("scanCode");
        QTest::addColumn<quint32>("keysym");
        QTest::addColumn<int>("keyCode"); // -1: none
        const Qt::KeyboardModifiers none;
        QTest::newRow("A") << int(Qt::Key_A) << none << 38u << quint32('a') << 0;
        QTest::newRow("Shift+A") << int(Qt::Key_A) << Qt::KeyboardModifiers(Qt::ShiftModifier) << 38u << quint32('A') << 0;
        QTest::newRow("K, no native codes") << int(Qt::Key_K) << none << 0u << 0u << 40;
        QTest::newRow("1") << int(Qt::Key_1) << none << 10u << quint32('1') << 18;
        QTest::newRow("0") << int(Qt::Key_0) << none << 19u << quint32('0') << 29;
        QTest::newRow("Shift+1 reports !") << int(Qt::Key_Exclam) << Qt::KeyboardModifiers(Qt::ShiftModifier) << 10u << 0x21u << 18;
        QTest::newRow("F1") << int(Qt::Key_F1) << none << 67u << 0xffbeu << 122;
        QTest::newRow("F5") << int(Qt::Key_F5) << none << 71u << 0xffc2u << 96;
        QTest::newRow("F12") << int(Qt::Key_F12) << none << 96u << 0xffc9u << 111;
        QTest::newRow("F13 as XF86Tools") << int(Qt::Key_Tools) << none << 191u << 0x1008ff81u << 105;
        QTest::newRow("Space") << int(Qt::Key_Space) << none << 65u << 0x20u << 49;
        QTest::newRow("Escape") << int(Qt::Key_Escape) << none << 9u << 0xff1bu << 53;
        QTest::newRow("Backspace is Delete") << int(Qt::Key_Backspace) << none << 22u << 0xff08u << 51;
        QTest::newRow("Delete is Forward Delete") << int(Qt::Key_Delete) << none << 119u << 0xffffu << 117;
        QTest::newRow("Return") << int(Qt::Key_Return) << none << 36u << 0xff0du << 36;
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << Qt::KeyboardModifiers(Qt::KeypadModifier) << 104u << 0xff8du << 76;
        QTest::newRow("Shift+Tab reports Backtab") << int(Qt::Key_Backtab) << Qt::KeyboardModifiers(Qt::ShiftModifier) << 0u << 0u << 48;
        QTest::newRow("Left") << int(Qt::Key_Left) << none << 113u << 0xff51u << 123;
        QTest::newRow("Up") << int(Qt::Key_Up) << none << 111u << 0xff52u << 126;
        QTest::newRow("minus") << int(Qt::Key_Minus) << none << 20u << quint32('-') << 27;
        QTest::newRow("Shift+= reports +") << int(Qt::Key_Plus) << Qt::KeyboardModifiers(Qt::ShiftModifier) << 21u << quint32('+') << 24;
        QTest::newRow("grave") << int(Qt::Key_QuoteLeft) << none << 49u << quint32('`') << 50;
        QTest::newRow("slash") << int(Qt::Key_Slash) << none << 61u << quint32('/') << 44;
        QTest::newRow("keypad minus") << int(Qt::Key_Minus) << Qt::KeyboardModifiers(Qt::KeypadModifier) << 82u << 0xffadu << 78;
        QTest::newRow("keypad 7, NumLock off") << int(Qt::Key_Home) << Qt::KeyboardModifiers(Qt::KeypadModifier) << 79u << 0xff95u << 89;
        QTest::newRow("Cyrillic layout, key A") << 0x0424 << none << 38u << 0x6c6u << 0;
        QTest::newRow("Shift alone") << int(Qt::Key_Shift) << Qt::KeyboardModifiers(Qt::ShiftModifier) << 50u << 0xffe1u << -1;
        QTest::newRow("Super alone") << int(Qt::Key_Super_L) << Qt::KeyboardModifiers(Qt::MetaModifier) << 133u << 0xffebu << -1;
        QTest::newRow("Print") << int(Qt::Key_Print) << none << 107u << 0xff61u << -1;
    }

    void keyCodeForKeyEvent()
    {
        QFETCH(int, qtKey);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(quint32, scanCode);
        QFETCH(quint32, keysym);
        QFETCH(int, keyCode);
        const std::optional<quint32> expected =
            keyCode < 0 ? std::nullopt : std::optional<quint32>(quint32(keyCode));
        QCOMPARE(keytables::keyCodeForKeyEvent(qtKey, modifiers, scanCode, keysym), expected);
        // The QKeyEvent overload reads the same fields.
        QKeyEvent event(QEvent::KeyPress, qtKey, modifiers, scanCode, keysym, 0);
        QCOMPARE(keytables::keyCodeForKeyEvent(event), expected);
    }

    // The recorder view reaches the tables and the manager through the "Voxendo" QML module.
    void reachableFromQml()
    {
        QQmlEngine engine;
        engine.addImportPath(QStringLiteral("qrc:/"));
        QQmlComponent component(&engine);
        component.setData(R"(
            import QtQml
            import Voxendo
            QtObject {
                property var parts: ShortcutKeys.shortcut(2, 4608).displayParts()
                property bool defaultValid: ShortcutKeys.defaultShortcut.isValid()
                property int code: ShortcutKeys.keyCodeForKeyEvent(Qt.Key_Exclam, Qt.ShiftModifier, 10)
                property int modifierOnly: ShortcutKeys.keyCodeForKeyEvent(Qt.Key_Shift, Qt.ShiftModifier, 50)
                property int mask: ShortcutKeys.carbonModifiers(Qt.ControlModifier | Qt.MetaModifier)
                property var names: ShortcutKeys.modifierNames(4608)
                property bool managerHasShortcut: HotkeyManager.currentShortcut.displayParts().length >= 1
            })", QUrl());
        std::unique_ptr<QObject> object(component.create());
        QVERIFY2(object, qPrintable(component.errorString()));
        QCOMPARE(object->property("parts").toStringList(), (QStringList{"Control", "Shift", "D"}));
        QCOMPARE(object->property("defaultValid").toBool(), true);
        QCOMPARE(object->property("code").toInt(), 18);
        QCOMPARE(object->property("modifierOnly").toInt(), -1);
        QCOMPARE(object->property("mask").toUInt(), Control | Cmd);
        QCOMPARE(object->property("names").toStringList(), (QStringList{"Control", "Shift"}));
        QCOMPARE(object->property("managerHasShortcut").toBool(), true);
    }
};

QTEST_MAIN(TestHotkeyShortcut)
#include "tst_hotkeyshortcut.moc"
