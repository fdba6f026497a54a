// The Account tab against an account stand-in: when the primary button may be pressed (six
// characters as a person counts them), what it starts, the mode switch, the running request,
// the signed-in card, and what assistive technology sees of the form.
#include "uiharness.h"

#include <QAccessible>
#include <QTest>

#include <tuple>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VoxendoPlugin)

using namespace voxendo;
using namespace voxendo::test;

class TestAccountView : public QObject
{
    Q_OBJECT

    UiManagers *m = nullptr;
    std::unique_ptr<ViewHarness> h;

    void fill(const QString &email, const QString &password)
    {
        h->find("emailField")->setProperty("text", email);
        h->find("passwordField")->setProperty("text", password);
    }
    bool primaryEnabled() { return h->find("primaryButton")->isEnabled(); }

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
        QVERIFY(h->load(QStringLiteral("AccountView.qml")));
    }

    void cleanup() { h.reset(); }

    void primaryButtonEnabling_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("loading");
        QTest::addColumn<bool>("enabled");

        QTest::newRow("six characters") << "ada@example.com" << "abcdef" << false << true;
        QTest::newRow("five characters") << "ada@example.com" << "abcde" << false << false;
        // Six UTF-16 units, five characters: "e" + combining acute is one "é".
        QTest::newRow("five with a combining accent")
            << "ada@example.com" << QString::fromUtf8("abcde\xCC\x81") << false << false;
        QTest::newRow("six with a combining accent")
            << "ada@example.com" << QString::fromUtf8("abcdee\xCC\x81") << false << true;
        // A family emoji is eight UTF-16 units and one character.
        QTest::newRow("emoji counts once")
            << "ada@example.com" << QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7" "abcd")
            << false << false;
        QTest::newRow("empty e-mail") << "" << "abcdef" << false << false;
        QTest::newRow("e-mail of spaces counts") << "   " << "abcdef" << false << true;
        QTest::newRow("request running") << "ada@example.com" << "abcdef" << true << false;
    }

    void primaryButtonEnabling()
    {
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(bool, loading);
        QFETCH(bool, enabled);

        m->auth.set("isLoading", loading);
        fill(email, password);
        QCOMPARE(primaryEnabled(), enabled);
    }

    void primaryButtonSendsTheInputAsTypedInEitherMode()
    {
        QCOMPARE(text(h->find("formTitle")), QStringLiteral("Sign In"));
        QCOMPARE(text(h->find("primaryButton")), QStringLiteral("Sign In"));
        fill(QStringLiteral(" ada@example.com "), QStringLiteral("secret1"));
        QVERIFY(h->click("primaryButton"));
        QCOMPARE(m->auth.calls, QStringList{QStringLiteral("signIn  ada@example.com  secret1")});

        QVERIFY(h->click("modeSwitch"));
        QCOMPARE(text(h->find("formTitle")), QStringLiteral("Create Account"));
        QCOMPARE(text(h->find("primaryButton")), QStringLiteral("Create Account"));
        QCOMPARE(text(h->find("modeSwitch")), QStringLiteral("Already have an account? Sign In"));
        QVERIFY(h->click("primaryButton"));
        QCOMPARE(m->auth.calls.last(), QStringLiteral("signUp  ada@example.com  secret1"));

        QVERIFY(h->click("modeSwitch"));
        QCOMPARE(text(h->find("modeSwitch")), QStringLiteral("Don't have an account? Sign Up"));
        QCOMPARE(text(h->find("formTitle")), QStringLiteral("Sign In"));
    }

    void returnInTheFormSubmitsOnlyWhenAllowed()
    {
        QQuickItem *password = h->find("passwordField");
        password->forceActiveFocus();
        fill(QStringLiteral("ada@example.com"), QStringLiteral("abc"));
        QTest::keyClick(h->view(), Qt::Key_Return);
        QVERIFY(m->auth.calls.isEmpty());
        for (Qt::Key key : {Qt::Key_D, Qt::Key_E, Qt::Key_F})
            QTest::keyClick(h->view(), key, Qt::NoModifier);
        QCOMPARE(text(password), QStringLiteral("abcdef"));
        QTest::keyClick(h->view(), Qt::Key_Return);
        QCOMPARE(m->auth.calls, QStringList{QStringLiteral("signIn ada@example.com abcdef")});
    }

    void errorIsShownAndTheModeSwitchClearsItFirst()
    {
        QVERIFY(!h->findVisible("authError"));
        m->auth.set("error", QStringLiteral("Invalid login credentials"));
        QCOMPARE(text(h->findVisible("authError")), QStringLiteral("Invalid login credentials"));

        QVERIFY(h->click("modeSwitch"));
        QCOMPARE(m->auth.error, QString());
        QVERIFY(!h->findVisible("authError"));
        QCOMPARE(text(h->find("formTitle")), QStringLiteral("Create Account"));
    }

    void runningRequestShowsTheSpinnerAndLeavesTheModeSwitch()
    {
        fill(QStringLiteral("ada@example.com"), QStringLiteral("abcdef"));
        QVERIFY(!h->findVisible("primaryButtonSpinner"));
        m->auth.set("isLoading", true);
        QVERIFY(h->findVisible("primaryButtonSpinner"));
        QVERIFY(!primaryEnabled());
        QVERIFY(h->click("modeSwitch")); // still usable; the request goes on
        QCOMPARE(text(h->find("primaryButton")), QStringLiteral("Create Account"));
        QVERIFY(!primaryEnabled());
        m->auth.set("isLoading", false);
        QVERIFY(!h->findVisible("primaryButtonSpinner"));
        QVERIFY(primaryEnabled());
    }

    void signedInCardAndBackToTheFormAsLeft()
    {
        fill(QStringLiteral("ada@example.com"), QStringLiteral("abcdef"));
        QVERIFY(h->click("modeSwitch"));
        m->auth.set("userEmail", QStringLiteral("ada@example.com"));
        m->auth.set("isAuthenticated", true);
        QVERIFY(h->findVisible("signedInCard"));
        QVERIFY(!h->findVisible("signInForm"));
        QCOMPARE(text(h->find("signedInEmail")), QStringLiteral("ada@example.com"));
        m->auth.set("userEmail", QString());
        QCOMPARE(text(h->find("signedInEmail")), QStringLiteral("User"));

        QVERIFY(h->click("signOutButton"));
        QCOMPARE(m->auth.calls, QStringList{QStringLiteral("signOut")});
        m->auth.set("isAuthenticated", false);
        QVERIFY(h->findVisible("signInForm"));
        QCOMPARE(text(h->find("emailField")), QStringLiteral("ada@example.com"));
        QCOMPARE(text(h->find("formTitle")), QStringLiteral("Create Account"));
    }

    // What an AT-SPI client (the end-to-end tests, a screen reader) finds: named fields that
    // accept text, and buttons named by their visible text that act on "press".
    void formIsUsableThroughAccessibility()
    {
        QAccessibleInterface *email = QAccessible::queryAccessibleInterface(h->find("emailField"));
        QAccessibleInterface *password = QAccessible::queryAccessibleInterface(h->find("passwordField"));
        QVERIFY(email && password);
        QCOMPARE(email->text(QAccessible::Name), QStringLiteral("Email"));
        QCOMPARE(password->text(QAccessible::Name), QStringLiteral("Password"));
        QCOMPARE(email->role(), QAccessible::EditableText);
        QVERIFY(password->state().passwordEdit);

        // Qt 6.4 offers no EditableText interface for Qt Quick fields; a client focuses the
        // field through its SetFocus action and types (xdotool, or the keyboard).
        QVERIFY(!email->editableTextInterface());
        for (auto [iface, name, typed] : {std::tuple{email, "emailField", "ada"}, std::tuple{password, "passwordField", "abcdef"}}) {
            QVERIFY(iface->actionInterface());
            QVERIFY(iface->actionInterface()->actionNames().contains(QAccessibleActionInterface::setFocusAction()));
            iface->actionInterface()->doAction(QAccessibleActionInterface::setFocusAction());
            QVERIFY(h->find(QString::fromLatin1(name))->hasActiveFocus());
            for (const char *c = typed; *c; ++c)
                QTest::keyClick(h->view(), Qt::Key(Qt::Key_A + (*c - 'a')), Qt::NoModifier);
            QCOMPARE(text(h->find(QString::fromLatin1(name))), QString::fromLatin1(typed));
        }

        QAccessibleInterface *primary = QAccessible::queryAccessibleInterface(h->find("primaryButton"));
        QVERIFY(primary);
        QCOMPARE(primary->text(QAccessible::Name), QStringLiteral("Sign In"));
        QVERIFY(primary->actionInterface());
        primary->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(m->auth.calls, QStringList{QStringLiteral("signIn ada abcdef")});

        QAccessibleInterface *modeSwitch = QAccessible::queryAccessibleInterface(h->find("modeSwitch"));
        QCOMPARE(modeSwitch->text(QAccessible::Name), QStringLiteral("Don't have an account? Sign Up"));
        modeSwitch->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(text(h->find("formTitle")), QStringLiteral("Create Account"));
    }
};

QTEST_MAIN(TestAccountView)
#include "tst_accountview.moc"
