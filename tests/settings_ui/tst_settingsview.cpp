// The Settings tab against the real key store (an in-memory keyring, OpenAI played by the HTTPS
// fake server), the hot-key manager, the updater and the autostart entry: the language entry
// written only on a change, the key's save and removal flows, "Reset to Default", the
// permission rows, "Check Now" and "Start at login".
#include "app/autostart.h"
#include "dictation/appstate.h"
#include "shortcut/hotkeymanager.h"
#include "transcription/apikeymanager.h"
#include "uiharness.h"

#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VoxendoPlugin)

using namespace voxendo;
using namespace voxendo::test;

namespace {

const QString validKey = QStringLiteral("sk-test-0123456789abcdefghij");

} // namespace

class TestSettingsView : public QObject
{
    Q_OBJECT

    UiManagers *m = nullptr;
    std::unique_ptr<ViewHarness> h;

    void load()
    {
        h = std::make_unique<ViewHarness>();
        QVERIFY(h->load(QStringLiteral("SettingsView.qml"), QSize(640, 1400)));
    }

    QVariant storedLanguage() { return QSettings().value(QStringLiteral("selectedLanguage")); }

    void pickLanguage(int steps)
    {
        QQuickItem *picker = h->find("languagePicker");
        picker->forceActiveFocus();
        for (int i = 0; i < qAbs(steps); ++i)
            QTest::keyClick(h->view(), steps > 0 ? Qt::Key_Down : Qt::Key_Up);
    }

private Q_SLOTS:
    void initTestCase()
    {
        prepareUiTest();
        m = &UiManagers::install();
        // OpenAI's key check: one key is accepted, every other refused as OpenAI does.
        m->server.route("GET", "/v1/models", [](const RecordedRequest &request) {
            if (request.header("Authorization") == "Bearer " + validKey.toUtf8())
                return FakeResponse::json(200, QByteArray(R"({"object":"list","data":[]})"));
            return FakeResponse::json(401, QByteArray(R"({"error":{"message":"Incorrect API key provided","type":"invalid_request_error","code":"invalid_api_key"}})"));
        });
    }

    void init()
    {
        m->reset();
        m->secrets->failAdd(std::nullopt);
        load();
    }

    void cleanup() { h.reset(); }

    void languageIsWrittenOnlyWhenChanged()
    {
        QQuickItem *picker = h->find("languagePicker");
        QCOMPARE(picker->property("displayText").toString(), QStringLiteral("Auto-detect"));
        QCOMPARE(picker->property("count").toInt(), 11);
        QVERIFY(!QSettings().contains(QStringLiteral("selectedLanguage"))); // showing writes nothing

        pickLanguage(1);
        QCOMPARE(picker->property("displayText").toString(), QStringLiteral("English"));
        QCOMPARE(storedLanguage(), QVariant(QStringLiteral("en")));

        // Shown afresh, the tab starts from what is stored.
        load();
        QCOMPARE(h->find("languagePicker")->property("displayText").toString(), QStringLiteral("English"));
        pickLanguage(2);
        QCOMPARE(storedLanguage(), QVariant(QStringLiteral("es")));
        pickLanguage(-2);
        QCOMPARE(storedLanguage(), QVariant(QStringLiteral("en")));

        // Choosing the language already chosen is no change: nothing is written.
        QSettings().setValue(QStringLiteral("selectedLanguage"), QStringLiteral("fr"));
        QMetaObject::invokeMethod(h->find("languagePicker"), "activated", Q_ARG(int, 1));
        QCOMPARE(storedLanguage(), QVariant(QStringLiteral("fr")));
    }

    void unknownStoredLanguageIsShownAndKept()
    {
        QSettings().setValue(QStringLiteral("selectedLanguage"), QStringLiteral("xx"));
        load();
        QCOMPARE(h->find("languagePicker")->property("displayText").toString(), QStringLiteral("xx"));
        QCOMPARE(storedLanguage(), QVariant(QStringLiteral("xx")));
    }

    // The key as pasted (with surrounding white space and a newline) is checked and stored
    // trimmed; the field is emptied and hidden again, and the card shows the stored state.
    void savingAValidKey()
    {
        QVERIFY(!h->find("saveKeyButton")->isEnabled()); // nothing typed
        QVERIFY(h->click("showKeyButton"));
        QCOMPARE(h->find("apiKeyField")->property("echoMode").toInt(), 0); // Normal
        h->find("apiKeyField")->setProperty("text", "  " + validKey + "\n");
        QVERIFY(h->find("saveKeyButton")->isEnabled());

        QSignalSpy finished(m->apiKeys, &APIKeyManager::keySaveFinished);
        QVERIFY(h->click("saveKeyButton"));
        QVERIFY(!h->find("saveKeyButton")->isEnabled()); // checking: no second save
        QVERIFY(h->findVisible("saveKeyButtonSpinner"));
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().first().toBool(), true);

        QCOMPARE(m->server.requestsTo("/v1/models").size(), 1);
        QCOMPARE(m->server.requestsTo("/v1/models").first().header("Authorization"), "Bearer " + validKey.toUtf8());
        QCOMPARE(m->secrets->items().size(), 1);
        QCOMPARE(m->secrets->items().first().data, validKey.toUtf8());
        QCOMPARE(m->apiKeys->loadKey(), std::optional<QString>(validKey));

        QCOMPARE(text(h->find("apiKeyField")), QString());
        QCOMPARE(h->find("apiKeyField")->property("echoMode").toInt(), 2); // Password again
        QVERIFY(h->findVisible("keyConfiguredRow"));
        QVERIFY(!h->findVisible("keyEntryForm"));
    }

    void refusedKeyStaysWithTheReason()
    {
        h->find("apiKeyField")->setProperty("text", "sk-wrong-0123456789abcdefghij");
        QSignalSpy finished(m->apiKeys, &APIKeyManager::keySaveFinished);
        QVERIFY(h->click("saveKeyButton"));
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(text(h->find("apiKeyField")), QStringLiteral("sk-wrong-0123456789abcdefghij"));
        QVERIFY(h->findVisible("keyError"));
        QCOMPARE(text(h->find("keyError")), m->apiKeys->validationErrorText());
        QVERIFY(!text(h->find("keyError")).isEmpty());
        QVERIFY(m->secrets->items().isEmpty());
        QVERIFY(h->find("saveKeyButton")->isEnabled());

        // Spaces only still count as input; the check then gets an empty key and refuses it.
        h->find("apiKeyField")->setProperty("text", "   ");
        QVERIFY(h->find("saveKeyButton")->isEnabled());
        finished.clear();
        QVERIFY(h->click("saveKeyButton"));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toBool(), false);
        QVERIFY(h->findVisible("keyError"));
    }

    // A key that passed the check but could not be stored must not vanish from the field as if
    // it had been saved: the user would believe their own key is in use.
    void keyThatCannotBeStoredIsNotReportedAsSaved()
    {
        m->secrets->failAdd(-25308); // the keyring refuses (locked)
        h->find("apiKeyField")->setProperty("text", validKey);
        QSignalSpy finished(m->apiKeys, &APIKeyManager::keySaveFinished);
        QVERIFY(h->click("saveKeyButton"));
        QVERIFY(finished.wait(5000));
        QCOMPARE(text(h->find("apiKeyField")), validKey);
        QVERIFY(h->findVisible("keyEntryForm"));
        QVERIFY(h->findVisible("keyError"));
    }

    void removingTheKeyAsksFirst()
    {
        m->apiKeys->saveKey(validKey);
        QVERIFY(h->findVisible("keyConfiguredRow"));

        QObject *dialog = h->findObject("removeKeyDialog");
        QVERIFY(dialog);
        QVERIFY(!dialog->property("visible").toBool());
        QVERIFY(h->click("removeKeyButton"));
        QTRY_VERIFY(dialog->property("opened").toBool());
        QCOMPARE(dialog->property("title").toString(), QStringLiteral("Remove API Key"));
        QVERIFY(h->click("cancelRemoveKeyButton"));
        QTRY_VERIFY(!dialog->property("visible").toBool());
        QVERIFY(m->apiKeys->hasCustomKey());

        QVERIFY(h->click("removeKeyButton"));
        QTRY_VERIFY(dialog->property("opened").toBool());
        QVERIFY(h->click("confirmRemoveKeyButton"));
        QTRY_VERIFY(!m->apiKeys->hasCustomKey());
        QVERIFY(m->secrets->items().isEmpty());
        QTRY_VERIFY(h->findVisible("keyEntryForm"));
        QCOMPARE(text(h->find("apiKeyField")), QString());
    }

    void showHideKeepsTheTypedKey()
    {
        QQuickItem *field = h->find("apiKeyField");
        field->setProperty("text", "sk-typed");
        QCOMPARE(field->property("echoMode").toInt(), 2);
        QVERIFY(h->click("showKeyButton"));
        QCOMPARE(field->property("echoMode").toInt(), 0);
        QVERIFY(h->click("showKeyButton"));
        QCOMPARE(field->property("echoMode").toInt(), 2);
        QCOMPARE(text(field), QStringLiteral("sk-typed"));
    }

    void resetToDefault_data()
    {
        QTest::addColumn<quint32>("keyCode");
        QTest::addColumn<quint32>("modifiers");
        QTest::addColumn<bool>("shown");

        QTest::newRow("the default") << 49u << 2048u << false;
        QTest::newRow("other modifiers") << 49u << 256u << true;
        QTest::newRow("other key") << 2u << 2048u << true;
        QTest::newRow("F6 alone") << 97u << 0u << true;
    }

    void resetToDefault()
    {
        QFETCH(quint32, keyCode);
        QFETCH(quint32, modifiers);
        QFETCH(bool, shown);

        m->hotkeys->updateShortcut(HotkeyShortcut{keyCode, modifiers});
        QCOMPARE(h->findVisible("resetShortcutButton") != nullptr, shown);
        if (!shown)
            return;
        QVERIFY(h->click("resetShortcutButton"));
        QCOMPARE(m->hotkeys->currentShortcut(), HotkeyShortcut::defaultShortcut());
        QCOMPARE(m->fakeHotkeys->heldChord(), std::optional(platform::HotkeyChord{49, 2048}));
        QVERIFY(!h->findVisible("resetShortcutButton"));
    }

    void refusedShortcutIsPointedOut()
    {
        QVERIFY(!h->findVisible("shortcutUnavailableHint"));
        m->fakeHotkeys->setRefusal(platform::Status::failure(10, QStringLiteral("BadAccess")));
        m->hotkeys->updateShortcut(HotkeyShortcut{2, 2048});
        QVERIFY(h->findVisible("shortcutUnavailableHint"));
        m->fakeHotkeys->setRefusal(std::nullopt);
        m->hotkeys->updateShortcut(HotkeyShortcut{2, 4096});
        QVERIFY(!h->findVisible("shortcutUnavailableHint"));
    }

    void permissionRowsOpenSoundSettingsOrExplain()
    {
        m->launchSucceeds = true;
        QVERIFY(h->click("microphoneSettingsButton"));
        QCOMPARE(m->launchedCommands.size(), 1);
        QCOMPARE(m->launchedCommands.first().program, QStringLiteral("gnome-control-center"));
        QCOMPARE(m->launchedCommands.first().arguments, QStringList{QStringLiteral("sound")});
        QVERIFY(!h->findVisible("soundHelpDialogOkButton"));

        // None of the programs starts: each is tried once, in order, then the explanation.
        m->launchSucceeds = false;
        m->launchedCommands.clear();
        QVERIFY(h->click("microphoneSettingsButton"));
        QStringList programs;
        for (const auto &command : m->launchedCommands)
            programs.append(command.program);
        QCOMPARE(programs, (QStringList{"gnome-control-center", "systemsettings", "pavucontrol"}));
        QTRY_VERIFY(h->findVisible("soundHelpDialogOkButton"));
        QVERIFY(h->click("soundHelpDialogOkButton"));
        QTRY_VERIFY(!h->findVisible("soundHelpDialogOkButton"));

        QVERIFY(h->click("accessibilitySettingsButton"));
        QTRY_VERIFY(h->findVisible("inputHelpDialogOkButton"));
        const QString explanation = h->findObject("inputHelpDialog")->property("text").toString();
        QVERIFY2(explanation.contains("XTest") && explanation.contains("Ctrl+V"), qPrintable(explanation));
    }

    void checkNowFollowsTheUpdater()
    {
        QCOMPARE(text(h->find("versionLabel")), QStringLiteral("0.1.0"));
        QVERIFY(h->find("checkNowButton")->isEnabled());
        m->server.enqueue("GET", "/appcast.xml", FakeResponse::text(200, "<rss><channel></channel></rss>").after(300));
        QSignalSpy finished(m->updater, &Updater::checkFinished);
        QVERIFY(h->click("checkNowButton"));
        QVERIFY(!h->find("checkNowButton")->isEnabled()); // the updater cannot start another
        QVERIFY(finished.wait(5000));
        QVERIFY(h->find("checkNowButton")->isEnabled());
        QCOMPARE(m->server.requestsTo("/appcast.xml").size(), 1);
    }

    void startAtLoginWritesTheAutostartEntry()
    {
        QQuickItem *toggle = h->find("startAtLoginSwitch");
        QVERIFY(!toggle->property("checked").toBool());
        QVERIFY(h->click("startAtLoginSwitch"));
        QVERIFY(QFile::exists(AutostartManager::entryPath()));
        QVERIFY(toggle->property("checked").toBool());
        QVERIFY(h->click("startAtLoginSwitch"));
        QVERIFY(!QFile::exists(AutostartManager::entryPath()));
        QVERIFY(!toggle->property("checked").toBool());
    }
};

QTEST_MAIN(TestSettingsView)
#include "tst_settingsview.moc"
