// The Home tab against the dictation controller, the hot-key manager and an account stand-in:
// which banners show for which account state, the live status card with its accessibility
// texts, the account card, the shortcut texts, and dismissing the last error.
#include "dictation/appstate.h"
#include "settings_ui/navigationcenter.h"
#include "shortcut/hotkeymanager.h"
#include "uiharness.h"

#include <QAccessible>
#include <QSignalSpy>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VoxendoPlugin)

using namespace voxendo;
using namespace voxendo::test;

namespace {

QString accessibleText(QQuickItem *item, QAccessible::Text which)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(item);
    return iface ? iface->text(which) : QStringLiteral("<no interface>");
}

} // namespace

class TestHomeView : public QObject
{
    Q_OBJECT

    UiManagers *m = nullptr;
    std::unique_ptr<ViewHarness> h;

private Q_SLOTS:
    void initTestCase()
    {
        prepareUiTest();
        m = &UiManagers::install();
    }

    void init()
    {
        m->reset();
        m->auth.set("isAuthenticated", true);
        h = std::make_unique<ViewHarness>();
        QVERIFY(h->load(QStringLiteral("HomeView.qml")));
    }

    void cleanup() { h.reset(); }

    void banners_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("updateRequired");
        QTest::addColumn<bool>("updateAvailable");
        QTest::addColumn<bool>("signInBanner");
        QTest::addColumn<QString>("updateBanner"); // title, or empty for none

        QTest::newRow("signed in, current") << true << false << false << false << "";
        QTest::newRow("signed out") << false << false << false << true << "";
        QTest::newRow("signed in, update available") << true << false << true << false << "Update Available";
        QTest::newRow("signed in, update required") << true << true << false << false << "Update Required";
        QTest::newRow("required beats available") << true << true << true << false << "Update Required";
        QTest::newRow("signed out, update available") << false << false << true << true << "Update Available";
        QTest::newRow("signed out, update required") << false << true << false << true << "Update Required";
        QTest::newRow("signed out, both flags") << false << true << true << true << "Update Required";
    }

    void banners()
    {
        QFETCH(bool, signedIn);
        QFETCH(bool, updateRequired);
        QFETCH(bool, updateAvailable);
        QFETCH(bool, signInBanner);
        QFETCH(QString, updateBanner);

        m->auth.set("isAuthenticated", signedIn);
        m->auth.set("updateRequired", updateRequired);
        m->auth.set("updateAvailable", updateAvailable);

        QQuickItem *signIn = h->findVisible("signInBanner");
        QQuickItem *update = h->findVisible("updateBanner");
        QCOMPARE(signIn != nullptr, signInBanner);
        QCOMPARE(update != nullptr, !updateBanner.isEmpty());
        if (signIn) {
            QCOMPARE(text(h->find("signInBannerTitle")), QStringLiteral("Sign In Required"));
            QCOMPARE(text(h->find("signInButton")), QStringLiteral("Sign In"));
        }
        if (update) {
            QCOMPARE(text(h->find("updateBannerTitle")), updateBanner);
            QCOMPARE(text(h->find("updateNowButton")), QStringLiteral("Update Now"));
            const QColor colour = update->property("color").value<QColor>();
            QVERIFY2(updateBanner == "Update Required" ? colour.red() > colour.blue() : colour.blue() > colour.red(),
                     qPrintable(colour.name()));
        }
        if (signIn && update)
            QTRY_VERIFY(signIn->y() < update->y()); // sign-in first, once laid out
        QVERIFY(h->findVisible("statusCard"));
        QVERIFY(h->findVisible("accountStatusCard"));
        QVERIFY(h->findVisible("howToCard"));
    }

    void bannerButtonsNavigateAndCheckForUpdates()
    {
        m->auth.set("isAuthenticated", false);
        m->auth.set("updateAvailable", true);
        QSignalSpy navigate(NavigationCenter::shared(), &NavigationCenter::navigateToAccount);
        QVERIFY(h->click("signInButton"));
        QCOMPARE(navigate.count(), 1);

        m->server.enqueue("GET", "/appcast.xml", FakeResponse::text(200, "<rss><channel></channel></rss>"));
        QSignalSpy finished(m->updater, &Updater::checkFinished);
        QVERIFY(h->click("updateNowButton"));
        QVERIFY(finished.wait(5000));
        QCOMPARE(m->server.requestsTo("/appcast.xml").size(), 1);
        QCOMPARE(m->updaterCalls.size(), 1);
    }

    // The indicator follows the controller live: green at rest, red while recording (with the
    // line that says how to stop), orange while the recording is transcribed.
    void statusIndicatorFollowsTheController()
    {
        QQuickItem *dot = h->find("statusDot");
        QQuickItem *indicator = h->find("statusIndicator");
        const auto colour = [&] { return dot->property("color").value<QColor>(); };
        const auto isGreen = [&] { return colour().green() > colour().red() && colour().green() > colour().blue(); };
        const auto isRed = [&] { return colour().red() > 200 && colour().green() < 100; };
        const auto isOrange = [&] { return colour().red() > 200 && colour().green() > 120 && colour().blue() < 60; };

        QVERIFY(isGreen());
        QCOMPARE(text(h->find("statusText")), QStringLiteral("Ready"));
        QCOMPARE(accessibleText(indicator, QAccessible::Name), QStringLiteral("Status: Ready"));
        QCOMPARE(accessibleText(indicator, QAccessible::Description), QStringLiteral("Ready to record"));
        QVERIFY(!h->findVisible("pressToStopLabel"));

        m->appState->toggleRecording();
        QTRY_VERIFY(m->appState->isRecording());
        QVERIFY(isRed());
        QCOMPARE(text(h->find("statusText")), QStringLiteral("Recording..."));
        QCOMPARE(accessibleText(indicator, QAccessible::Name), QStringLiteral("Status: Recording..."));
        QCOMPARE(accessibleText(indicator, QAccessible::Description), QStringLiteral("Recording in progress"));
        QCOMPARE(text(h->findVisible("pressToStopLabel")), QStringLiteral("Press Option+Space to stop"));

        // A new shortcut shows at once.
        m->hotkeys->updateShortcut(HotkeyShortcut{2, HotkeyShortcut::controlKey | HotkeyShortcut::shiftKey});
        QCOMPARE(text(h->findVisible("pressToStopLabel")), QStringLiteral("Press Control+Shift+D to stop"));

        m->appState->toggleRecording();
        QTRY_VERIFY(m->appState->isProcessing());
        QVERIFY(!m->appState->isRecording());
        QVERIFY(isOrange());
        QCOMPARE(accessibleText(indicator, QAccessible::Description), QStringLiteral("Processing audio"));
        QVERIFY(!h->findVisible("pressToStopLabel"));

        m->recorder->finish(std::nullopt); // no file: the run ends with an error
        QTRY_VERIFY(!m->appState->isProcessing());
        QVERIFY(isGreen());
    }

    void accountCard_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("subtitle");

        QTest::newRow("signed in") << true << "ada@example.com" << "Signed In" << "ada@example.com";
        QTest::newRow("signed in, no address") << true << "" << "Signed In" << "Sign in to sync";
        QTest::newRow("signed out, address kept") << false << "ada@example.com" << "Guest" << "ada@example.com";
        QTest::newRow("signed out") << false << "" << "Guest" << "Sign in to sync";
    }

    void accountCard()
    {
        QFETCH(bool, signedIn);
        QFETCH(QString, email);
        QFETCH(QString, value);
        QFETCH(QString, subtitle);

        m->auth.set("isAuthenticated", signedIn);
        m->auth.set("userEmail", email);
        QCOMPARE(text(h->find("accountStatusCardValue")), value);
        QCOMPARE(text(h->find("accountStatusCardSubtitle")), subtitle);
        const QColor colour = h->find("accountStatusCard")->property("color").value<QColor>();
        if (signedIn)
            QVERIFY2(colour.green() > colour.red() && colour.green() > colour.blue(), qPrintable(colour.name()));
        else
            QVERIFY2(colour.red() == colour.green() || qAbs(colour.red() - colour.blue()) < 12, qPrintable(colour.name()));
    }

    void howToCardsShowTheShortcut()
    {
        QCOMPARE(text(h->find("pressHotkeyDescription")), QStringLiteral("Option + Space to start recording"));
        QCOMPARE(text(h->find("speakDescription")), QStringLiteral("Talk clearly into your microphone"));
        QCOMPARE(text(h->find("pressAgainDescription")), QStringLiteral("Option + Space to stop and transcribe"));

        m->hotkeys->updateShortcut(HotkeyShortcut{97, 0}); // F6
        QCOMPARE(text(h->find("pressHotkeyDescription")), QStringLiteral("F6 to start recording"));
        QCOMPARE(text(h->find("pressAgainDescription")), QStringLiteral("F6 to stop and transcribe"));
    }

    void dismissClearsTheErrorUntilTheNextOne()
    {
        QVERIFY(!h->findVisible("errorBanner"));
        m->appState->setLastError(QStringLiteral("Network error: the server did not answer"));
        QVERIFY(h->findVisible("errorBanner"));
        QCOMPARE(text(h->find("errorText")), QStringLiteral("Network error: the server did not answer"));

        QVERIFY(h->click("dismissErrorButton"));
        QCOMPARE(m->appState->lastError(), QString());
        QVERIFY(!h->findVisible("errorBanner"));

        m->appState->setLastError(QStringLiteral("Failed to save audio recording"));
        QCOMPARE(text(h->find("errorText")), QStringLiteral("Failed to save audio recording"));
    }
};

QTEST_MAIN(TestHomeView)
#include "tst_homeview.moc"
