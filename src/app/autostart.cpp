#include "app/autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace voxendo {

namespace {

// Exec= quoting of the desktop entry format: quote when needed, escape ", `, $ and \.
QString quoteExec(const QString &path)
{
    static const QString special = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    for (QChar c : path)
        needsQuotes = needsQuotes || special.contains(c);
    if (!needsQuotes)
        return path;
    QString escaped;
    for (QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            escaped += u'\\';
        escaped += c;
    }
    // The entry file itself escapes backslashes once more.
    escaped.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    return u'"' + escaped + u'"';
}

} // namespace

AutostartManager::AutostartManager(QString command, QObject *parent)
    : QObject(parent)
    , m_command(command.isEmpty() ? QCoreApplication::applicationFilePath() : std::move(command))
{
}

AutostartManager *AutostartManager::shared()
{
    static AutostartManager *instance = new AutostartManager(QString(), nullptr);
    return instance;
}

QString AutostartManager::entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/com.voxendo.Voxendo.desktop");
}

bool AutostartManager::startAtLogin() const
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // A user may disable an entry by hand with Hidden=true; respect that.
    const QByteArray content = file.readAll();
    return !content.contains("\nHidden=true") && !content.contains("\nX-GNOME-Autostart-enabled=false");
}

void AutostartManager::setStartAtLogin(bool enabled)
{
    if (enabled == startAtLogin())
        return;
    const QString path = entryPath();
    if (enabled) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QSaveFile file(path);
        const QByteArray entry = QStringLiteral(
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Voxendo\n"
            "Comment=Dictation at the cursor\n"
            "Exec=%1\n"
            "Icon=voxendo\n"
            "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n").arg(quoteExec(m_command)).toUtf8();
        if (!file.open(QIODevice::WriteOnly) || file.write(entry) != entry.size() || !file.commit()) {
            setLastError(QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
            Q_EMIT startAtLoginChanged(); // views bound to the property fall back to the truth
            return;
        }
    } else if (!QFile::remove(path) && QFile::exists(path)) {
        setLastError(QStringLiteral("Could not remove %1").arg(path));
        Q_EMIT startAtLoginChanged();
        return;
    }
    setLastError({});
    Q_EMIT startAtLoginChanged();
}

void AutostartManager::setLastError(const QString &error)
{
    if (m_lastError == error)
        return;
    m_lastError = error;
    Q_EMIT lastErrorChanged();
}

} // namespace voxendo
