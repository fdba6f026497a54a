#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace voxendo::test {

// Stands in for AuthManager under the same QML singleton name: the properties the views read,
// settable by the test, and the operations the views start, recorded. Lets a test put the
// window in any account state (signed out with an update required, a request running, ...)
// without a backend.
class FakeAuthManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isAuthenticated MEMBER isAuthenticated NOTIFY isAuthenticatedChanged)
    Q_PROPERTY(QString userEmail MEMBER userEmail NOTIFY userEmailChanged)
    Q_PROPERTY(bool isLoading MEMBER isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isConfiguring MEMBER isConfiguring NOTIFY isConfiguringChanged)
    Q_PROPERTY(QString error MEMBER error NOTIFY errorChanged)
    Q_PROPERTY(bool isConfigured MEMBER isConfigured NOTIFY isConfiguredChanged)
    Q_PROPERTY(bool updateAvailable MEMBER updateAvailable NOTIFY updateAvailableChanged)
    Q_PROPERTY(bool updateRequired MEMBER updateRequired NOTIFY updateRequiredChanged)

public:
    bool isAuthenticated = false;
    QString userEmail;
    bool isLoading = false;
    bool isConfiguring = false;
    QString error;
    bool isConfigured = true;
    bool updateAvailable = false;
    bool updateRequired = false;

    // "signIn <email> <password>", "signUp ...", "signOut", in call order.
    QStringList calls;

    Q_INVOKABLE void beginSignIn(const QString &email, const QString &password)
    {
        calls.append(QStringLiteral("signIn %1 %2").arg(email, password));
    }
    Q_INVOKABLE void beginSignUp(const QString &email, const QString &password)
    {
        calls.append(QStringLiteral("signUp %1 %2").arg(email, password));
    }
    Q_INVOKABLE void beginSignOut() { calls.append(QStringLiteral("signOut")); }
    Q_INVOKABLE void clearError() { set("error", QString()); }

    // Assigns a property and announces it, as the real manager does.
    void set(const char *name, const QVariant &value) { setProperty(name, value); }

    void reset()
    {
        set("isAuthenticated", false);
        set("userEmail", QString());
        set("isLoading", false);
        set("isConfiguring", false);
        set("error", QString());
        set("isConfigured", true);
        set("updateAvailable", false);
        set("updateRequired", false);
        calls.clear();
    }

Q_SIGNALS:
    void isAuthenticatedChanged();
    void userEmailChanged();
    void isLoadingChanged();
    void isConfiguringChanged();
    void errorChanged();
    void isConfiguredChanged();
    void updateAvailableChanged();
    void updateRequiredChanged();
};

} // namespace voxendo::test
