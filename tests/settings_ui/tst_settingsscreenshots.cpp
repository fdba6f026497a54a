// Screenshots of the settings window for review, written to <build>/screenshots/: the loading
// screen, each tab signed out and signed in, the shortcut recorder while it captures, and the
// window on a dark desktop palette. Rendered offscreen with fixed fonts so they are stable.
#include "dictation/appstate.h"
#include "settings_ui/settingswindow.h"
#include "uiharness.h"

#include <QDir>
#include <QGuiApplication>
#include <QPalette>
#include <QQuickWindow>
#include <QTest>
#include <QQmlEngine>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VoxendoPlugin)

using namespace voxendo;
using namespace voxendo::test;

class TestSettingsScreenshots : public QObject
{
    Q_OBJECT

    UiManagers *m = nullptr;

    bool shoot(SettingsWindow &window, const QString &name)
    {
        QTest::qWait(150);
        const QImage image = window.window()->grabWindow();
        const QString dir = QStringLiteral(VOXENDO_SCREENSHOT_DIR);
        return !image.isNull() && image.save(dir + QStringLiteral("/settings-") + name + QStringLiteral(".png"));
    }

    void select(SettingsWindow &window, const char *tab)
    {
        window.rootItem()->setProperty("selectedTab", QString::fromLatin1(tab));
    }

private Q_SLOTS:
    void initTestCase()
    {
        prepareUiTest();
        QVERIFY(QDir().mkpath(QStringLiteral(VOXENDO_SCREENSHOT_DIR)));
        m = &UiManagers::install();
    }

    void init() { m->reset(); }

    // The same window on a dark desktop palette (what Fusion and the palette-based colours
    // make of a dark theme).
    void darkPalette()
    {
        const QPalette light = QGuiApplication::palette();
        // Button and window colours first: QPalette derives the bevel shades from them.
        QPalette dark(QColor(0x3a, 0x3a, 0x3c), QColor(0x2b, 0x2b, 0x2d));
        dark.setColor(QPalette::WindowText, QColor(0xec, 0xec, 0xec));
        dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x20));
        dark.setColor(QPalette::AlternateBase, QColor(0x32, 0x32, 0x34));
        dark.setColor(QPalette::Text, QColor(0xec, 0xec, 0xec));
        dark.setColor(QPalette::ButtonText, QColor(0xec, 0xec, 0xec));
        dark.setColor(QPalette::Highlight, QColor(0x0a, 0x84, 0xff));
        dark.setColor(QPalette::HighlightedText, Qt::white);
        dark.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
        dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x70, 0x70, 0x74));
        dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x70, 0x70, 0x74));
        dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x70, 0x70, 0x74));
        QGuiApplication::setPalette(dark);

        SettingsWindow window;
        m->auth.set("updateRequired", true);
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        QVERIFY(shoot(window, "dark-home-signed-out"));
        select(window, "settings");
        QVERIFY(shoot(window, "dark-settings"));
        QGuiApplication::setPalette(light);
    }

    void signedOut()
    {
        SettingsWindow window;
        m->auth.set("isConfiguring", true);
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        QVERIFY(m->isInstalledIn(window.rootItem()));
        QVERIFY(shoot(window, "loading"));

        m->auth.set("isConfiguring", false);
        m->auth.set("updateAvailable", true);
        QVERIFY(shoot(window, "home-signed-out"));
        select(window, "account");
        m->auth.set("error", QStringLiteral("Invalid login credentials"));
        QVERIFY(shoot(window, "account-signed-out"));
        select(window, "settings");
        QVERIFY(shoot(window, "settings-signed-out"));
    }

    void signedIn()
    {
        SettingsWindow window;
        m->auth.set("isAuthenticated", true);
        m->auth.set("userEmail", QStringLiteral("ada@example.com"));
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        QVERIFY(m->isInstalledIn(window.rootItem()));
        m->appState->toggleRecording();
        QTRY_VERIFY(m->appState->isRecording());
        m->appState->setLastError(QStringLiteral("Transcription failed: the server did not answer."));
        QVERIFY(shoot(window, "home-signed-in-recording"));
        select(window, "account");
        QVERIFY(shoot(window, "account-signed-in"));
        select(window, "settings");
        QVERIFY(shoot(window, "settings-signed-in"));
        window.openPermissions();
        QVERIFY(shoot(window, "settings-permissions"));
    }

};

QTEST_MAIN(TestSettingsScreenshots)
#include "tst_settingsscreenshots.moc"
