// The settings window as the shell uses it: its geometry and life cycle, the loading screen,
// the sidebar and its tabs, the "navigateToAccount" request and the way to the Permissions
// section; and the icon table the views draw their symbols from.
#include "settings_ui/navigationcenter.h"
#include "settings_ui/settingswindow.h"
#include "settings_ui/symbolicons.h"
#include "uiharness.h"

#include <QQuickWindow>
#include <QRawFont>
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

    void createdOnceShownAndHiddenNeverClosed()
    {
        SettingsWindow window;
        QVERIFY(!window.window());
        QVERIFY(!window.isVisible());

        window.showAndRaise();
        QQuickWindow *qw = window.window();
        QVERIFY(qw);
        QVERIFY(QTest::qWaitForWindowExposed(qw));
        QVERIFY(window.isVisible());
        QCOMPARE(qw->title(), QStringLiteral("Voxendo"));
        QCOMPARE(qw->size(), QSize(800, 600));
        QCOMPARE(qw->minimumSize(), QSize(700, 500));
        QQuickItem *root = window.rootItem();
        QVERIFY(root);
        QCOMPARE(root->objectName(), QStringLiteral("mainSettingsView"));
        QVERIFY(shown(window, "homeTab"));

        // Closing only hides; the next show brings back the same root view and its state.
        window.rootItem()->setProperty("selectedTab", "settings");
        qw->close();
        QTRY_VERIFY(!window.isVisible());
        window.showAndRaise();
        QVERIFY(QTest::qWaitForWindowExposed(qw));
        QCOMPARE(window.window(), qw);
        QCOMPARE(window.rootItem(), root);
        QCOMPARE(selectedTab(window), QStringLiteral("settings"));
    }
};

QTEST_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
