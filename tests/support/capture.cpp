#include "support/capture.h"

#include "common/console.h"

#include <QMutex>

namespace voxendo::test {

namespace {
QMutex mutex;
QStringList consoleLines;
QList<LogCapture::Entry> logEntries;
QtMessageHandler previousHandler = nullptr;

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&mutex);
        logEntries.append({type, QString::fromUtf8(context.category ? context.category : ""), message});
    }
    if (previousHandler)
        previousHandler(type, context, message);
}
} // namespace

ConsoleCapture::ConsoleCapture()
{
    clear();
    Console::setSink([](const QString &line) {
        QMutexLocker lock(&mutex);
        consoleLines.append(line);
    });
}

ConsoleCapture::~ConsoleCapture()
{
    Console::setSink({});
}

QStringList ConsoleCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return consoleLines;
}

void ConsoleCapture::clear()
{
    QMutexLocker lock(&mutex);
    consoleLines.clear();
}

LogCapture::LogCapture()
{
    {
        QMutexLocker lock(&mutex);
        logEntries.clear();
    }
    previousHandler = qInstallMessageHandler(handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    QMutexLocker lock(&mutex);
    return logEntries;
}

QStringList LogCapture::messages(const QString &category) const
{
    QStringList out;
    for (const Entry &e : entries()) {
        if (category.isEmpty() || e.category == category)
            out.append(e.message);
    }
    return out;
}

bool LogCapture::contains(const QString &needle) const
{
    QMutexLocker lock(&mutex);
    for (const Entry &e : logEntries) {
        if (e.message.contains(needle))
            return true;
    }
    for (const QString &line : consoleLines) {
        if (line.contains(needle))
            return true;
    }
    return false;
}

} // namespace voxendo::test
