#pragma once

#include <QObject>
#include <QQmlEngine>
#include <QString>

namespace voxendo {

// "Start at login": an XDG autostart entry in $XDG_CONFIG_HOME/autostart, which every
// freedesktop session (GNOME, KDE, Xfce, ...) runs at login.
class AutostartManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool startAtLogin READ startAtLogin WRITE setStartAtLogin NOTIFY startAtLoginChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)

public:
    // `command` is what the entry runs; empty means the running binary's absolute path. No
    // default arguments: QML would then build an instance of its own instead of using shared().
    AutostartManager(QString command, QObject *parent);

    static AutostartManager *shared();
    static AutostartManager *create(QQmlEngine *, QJSEngine *engine)
    {
        engine->setObjectOwnership(shared(), QJSEngine::CppOwnership);
        return shared();
    }

    static QString entryPath();

    bool startAtLogin() const;
    // Writes or removes the entry. On failure the property keeps its old value and
    // lastError says why.
    void setStartAtLogin(bool enabled);
    QString lastError() const { return m_lastError; }

Q_SIGNALS:
    void startAtLoginChanged();
    void lastErrorChanged();

private:
    void setLastError(const QString &error);
    QString m_command;
    QString m_lastError;
};

} // namespace voxendo
