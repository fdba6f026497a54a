// The settings window as the shell uses it: its geometry and life cycle, the loading screen,
// the sidebar and its tabs, the "navigateToAccount" request and the way to the Permissions
// section; and the icon table the views draw their symbols from.
#include "settings_ui/navigationcenter.h"
#include "settings_ui/settingswindow.h"
#include "settings_ui/languagesettings.h"
#include "settings_ui/symbolicons.h"
#include "settings_ui/textcounter.h"
#include "uiharness.h"

#include <QFile>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickWindow>
#include <QRawFont>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VoxendoPlugin)

using namespace voxendo;
using namespace voxendo::test;

namespace {

QQuickItem *shown(SettingsWindow &window, const QString &name)
{
    return findItem(window.window()->contentItem(), name, true);
}

QString selectedTab(SettingsWindow &window)
{
    return window.rootItem()->property("selectedTab").toString();
}

} // namespace

class TestSettingsWindow : public QObject
{
    Q_OBJECT

    UiManagers *m = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        prepareUiTest();
        m = &UiManagers::install();
    }

    void init() { m->reset(); }

    void createdWhenShownAndReleasedWhenClosed()
    {
        SettingsWindow window;
        QVERIFY(!window.window());
        QVERIFY(!window.isVisible());

        window.showAndRaise();
        QPointer<QQuickWindow> qw = window.window();
        QVERIFY(qw);
        QVERIFY(QTest::qWaitForWindowExposed(qw));
        QVERIFY(window.isVisible());
        QCOMPARE(qw->title(), QStringLiteral("Voxendo"));
        QCOMPARE(qw->size(), QSize(800, 600));
        QCOMPARE(qw->minimumSize(), QSize(700, 500));
        QPointer<QQuickItem> root = window.rootItem();
        QVERIFY(root);
        QCOMPARE(root->objectName(), QStringLiteral("mainSettingsView"));
        QVERIFY(shown(window, "homeTab"));

        // Closed and shown again before the event loop ran (a tray click right after closing):
        // the same window stays.
        QSignalSpy released(&window, &SettingsWindow::released);
        window.rootItem()->setProperty("selectedTab", "settings");
        qw->close();
        window.showAndRaise();
        QCoreApplication::processEvents();
        QCOMPARE(released.count(), 0);
        QCOMPARE(window.window(), qw.data());
        QCOMPARE(selectedTab(window), QStringLiteral("settings"));

        // Closing releases the window and its root view; the next show makes a new root view,
        // which starts on Home.
        qw->close();
        QVERIFY(released.wait());
        QVERIFY(!qw);
        QVERIFY(!root);
        QVERIFY(!window.window());
        QVERIFY(!window.isVisible());
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        QVERIFY(shown(window, "homeTab"));
        QCOMPARE(selectedTab(window), QStringLiteral("home"));
    }

    void quitShortcutAsksTheApplicationToQuit()
    {
        SettingsWindow window;
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowActive(window.window()));
        QSignalSpy quit(&window, &SettingsWindow::quitRequested);
        QTest::keyClick(window.window(), Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.count(), 1);
    }

    void loadingScreenUntilConfiguredThenTheTabs()
    {
        m->auth.set("isConfiguring", true);
        SettingsWindow window;
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        QVERIFY(m->isInstalledIn(window.rootItem()));

        QQuickItem *loading = shown(window, "loadingScreen");
        QVERIFY(loading);
        QVERIFY(findItem(loading, "loadingText"));
        QCOMPARE(findItem(loading, "loadingText")->property("text").toString(), QStringLiteral("Loading..."));
        QVERIFY(!shown(window, "sidebar"));

        // Configuration ends, successfully or not: the split view replaces it by itself.
        m->auth.set("isConfiguring", false);
        QTRY_VERIFY(shown(window, "sidebar"));
        QVERIFY(!shown(window, "loadingScreen"));
        QVERIFY(shown(window, "homeTab"));
    }

    void navigationRequestDuringLoadingDecidesTheFirstTab()
    {
        m->auth.set("isConfiguring", true);
        SettingsWindow window;
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        window.navigateToAccount();
        m->auth.set("isConfiguring", false);
        QTRY_VERIFY(shown(window, "accountTab"));
        QVERIFY(!shown(window, "homeTab"));
        QVERIFY(shown(window, "sidebarAccount")->property("selected").toBool());

        // Asking again while there changes nothing; the Home banner's button asks the same way.
        auto *account = shown(window, "accountTab");
        window.navigateToAccount();
        QCOMPARE(shown(window, "accountTab"), account);
    }

    void navigationRequestWithoutAWindowIsNotRemembered()
    {
        SettingsWindow window;
        window.navigateToAccount(); // no root view yet: nobody hears it
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        QVERIFY(shown(window, "homeTab"));
    }

    void sidebarListsTheTabsInOrderAndTabsStartAfresh()
    {
        SettingsWindow window;
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        QQuickWindow *qw = window.window();

        const char *rows[] = {"sidebarHome", "sidebarAccount", "sidebarSettings"};
        const char *titles[] = {"Home", "Account", "Settings"};
        qreal previousY = -1;
        for (int i = 0; i < 3; ++i) {
            QQuickItem *row = shown(window, rows[i]);
            QVERIFY2(row, rows[i]);
            QCOMPARE(row->property("text").toString(), QString::fromLatin1(titles[i]));
            const qreal y = row->mapToScene(QPointF()).y();
            QVERIFY(y > previousY);
            previousY = y;
        }
        QVERIFY(shown(window, "sidebar")->width() >= 180);

        const auto clickRow = [&](const char *name) {
            QQuickItem *row = shown(window, name);
            QTest::mouseClick(qw, Qt::LeftButton, {}, row->mapToScene(QPointF(row->width() / 2, row->height() / 2)).toPoint());
        };
        clickRow("sidebarAccount");
        QTRY_VERIFY(shown(window, "accountTab"));
        auto *email = shown(window, "emailField");
        email->setProperty("text", "typed@example.com");
        shown(window, "accountTab")->setProperty("isSignUp", true);

        clickRow("sidebarSettings");
        QTRY_VERIFY(shown(window, "settingsTab"));
        clickRow("sidebarAccount");
        QTRY_VERIFY(shown(window, "accountTab"));
        QCOMPARE(shown(window, "emailField")->property("text").toString(), QString());
        QCOMPARE(shown(window, "accountTab")->property("isSignUp").toBool(), false);

        // At the smallest window size the sidebar keeps its width.
        qw->resize(700, 500);
        QTRY_COMPARE(window.rootItem()->width(), 700.0);
        QVERIFY(shown(window, "sidebar")->width() >= 180);
    }

    void permissionsRequestOpensTheSettingsTabAtPermissions()
    {
        SettingsWindow window;
        QVERIFY(QMetaObject::invokeMethod(NavigationCenter::shared(), "showPermissions")); // no window yet
        QVERIFY(!window.isVisible());

        window.openPermissions();
        QVERIFY(window.isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        QTRY_VERIFY(shown(window, "settingsTab"));
        QQuickItem *page = shown(window, "settingsTab");
        QQuickItem *section = shown(window, "permissionsSection");
        QVERIFY(section);
        // Scrolled so that the section's top is in view.
        QTRY_VERIFY(page->property("contentY").toReal() > 0);
        const qreal top = section->mapToItem(page, QPointF()).y();
        QVERIFY2(top >= 0 && top < page->height() / 2, qPrintable(QString::number(top)));

        // From another tab, the same.
        window.rootItem()->setProperty("selectedTab", "home");
        QTRY_VERIFY(shown(window, "homeTab"));
        window.openPermissions();
        QTRY_VERIFY(shown(window, "settingsTab"));
        QTRY_VERIFY(shown(window, "settingsTab")->property("contentY").toReal() > 0);
    }

    // The views reach the window's helpers through QML singletons; each must be the process-wide
    // instance, not one the engine made for itself, or a request posted from C++ (the shell's
    // navigateToAccount) would reach no view.
    void helperSingletonsAreTheSharedInstances()
    {
        SettingsWindow window;
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        const auto instance = [&](const char *name) {
            QQmlExpression expression(qmlContext(window.rootItem()), window.rootItem(), QString::fromLatin1(name));
            return expression.evaluate().value<QObject *>();
        };
        QCOMPARE(instance("NavigationCenter"), NavigationCenter::shared());
        QCOMPARE(instance("SymbolIcons"), SymbolIcons::shared());
        QCOMPARE(instance("TextCounter"), TextCounter::shared());
        QCOMPARE(instance("LanguageSettings"), LanguageSettings::shared());
    }

    void everySymbolHasAGlyphInTheIconFont()
    {
        QVERIFY2(QFile::exists(QString::fromLatin1(SymbolIcons::fontPath)), "the icon font package is not installed");
        QVERIFY(SymbolIcons::shared()->available());
        const QRawFont font(QString::fromLatin1(SymbolIcons::fontPath), 16);
        QVERIFY(font.isValid());
        const QStringList names = SymbolIcons::symbolNames();
        for (const char *used : {"house.fill", "person.circle.fill", "gearshape.fill", "mic.fill",
                                 "waveform.circle.fill", "keyboard", "text.cursor",
                                 "exclamationmark.triangle.fill", "info.circle.fill",
                                 "person.crop.circle.badge.exclamationmark", "person.fill", "globe",
                                 "key.fill", "checkmark.circle.fill", "eye", "eye.slash", "lock.shield",
                                 "hand.raised.fill", "info.circle", "person.crop.circle.fill",
                                 "person.crop.circle.badge.plus", "rectangle.portrait.and.arrow.right"})
            QVERIFY2(names.contains(QString::fromLatin1(used)), used);
        for (const QString &name : names)
            QVERIFY2(font.supportsCharacter(SymbolIcons::codePoint(name)), qPrintable(name));
        QVERIFY(font.supportsCharacter(SymbolIcons::fallbackCodePoint));
        QCOMPARE(SymbolIcons::glyph(QStringLiteral("no.such.symbol")),
                 SymbolIcons::glyph(QStringLiteral("no.such.symbol.either")));
        QVERIFY(!SymbolIcons::glyph(QStringLiteral("no.such.symbol")).isEmpty());
    }
};

QTEST_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
