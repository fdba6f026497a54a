#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace voxendo::test {

// Collects the standard-output status lines (voxendo::Console) while alive.
class ConsoleCapture
{
public:
    ConsoleCapture();
    ~ConsoleCapture();
    QStringList lines() const;
    void clear();

private:
    Q_DISABLE_COPY(ConsoleCapture)
};

// Collects every Qt log message (all categories, all levels) while alive, and still forwards
// them to the previous handler so they show in the test output.
class LogCapture
{
public:
    struct Entry
    {
        QtMsgType type;
        QString category;
        QString message;
    };
    LogCapture();
    ~LogCapture();
    QList<Entry> entries() const;
    QStringList messages(const QString &category = {}) const;
    // True when any captured log or console line contains `needle`.
    bool contains(const QString &needle) const;

private:
    Q_DISABLE_COPY(LogCapture)
};

} // namespace voxendo::test
