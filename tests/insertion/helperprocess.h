#pragma once

#include <QProcess>
#include <QStringList>
#include <QTest>

namespace voxendo::test {

// A helper process whose standard-output lines are collected while our event loop runs (it may
// be asking us for the clipboard, so we must never block on it).
class Helper
{
public:
    Helper(const QString &program, const QStringList &arguments)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            m_buffer += m_process.readAllStandardOutput();
            qsizetype nl;
            while ((nl = m_buffer.indexOf('\n')) >= 0) {
                m_lines.append(QString::fromUtf8(m_buffer.left(nl)));
                m_buffer.remove(0, nl + 1);
            }
        });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, arguments);
    }
    ~Helper()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    bool waitForLine(const QString &line, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return m_lines.contains(line); }, timeoutMs);
    }
    QStringList lines() const { return m_lines; }
    QStringList linesStartingWith(const QString &prefix) const
    {
        QStringList out;
        for (const QString &line : m_lines) {
            if (line.startsWith(prefix))
                out.append(line.mid(prefix.size()));
        }
        return out;
    }

private:
    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
};

// The focused text field of another application.
struct PasteTarget : Helper
{
    explicit PasteTarget(const QStringList &arguments = {})
        : Helper(QStringLiteral(VOXENDO_PASTE_TARGET), arguments)
    {
    }
    QString text() const
    {
        const QStringList texts = linesStartingWith(QStringLiteral("TEXT "));
        return texts.isEmpty() ? QString() : QString::fromUtf8(QByteArray::fromBase64(texts.last().toLatin1()));
    }
    // Modifiers of every V key press the field saw.
    QList<Qt::KeyboardModifiers> vPresses() const
    {
        QList<Qt::KeyboardModifiers> out;
        for (const QString &key : linesStartingWith(QStringLiteral("KEY "))) {
            const QStringList parts = key.split(' ');
            if (parts.value(1).toInt() == Qt::Key_V)
                out.append(Qt::KeyboardModifiers(parts.value(0).toInt()));
        }
        return out;
    }
};

} // namespace voxendo::test
