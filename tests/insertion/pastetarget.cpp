// A separate application with one focused text field: the target of a synthetic paste.
//
// Lines on stdout:
//   READY                  the window is active and the field has the focus
//   KEY <mods> <key>       a key press reached the field (Qt::KeyboardModifiers, Qt::Key)
//   TEXT <base64 utf-8>    the field's text changed
//   FOCUS <in|out>         the window gained or lost the focus (after READY)
// --stall-ms N holds the event loop for N ms when Control+V arrives, before the field asks for
// the clipboard: a slow application.
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QThread>
#include <QWindow>
#include <QTimer>

#include <cstdio>

namespace {

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class KeyWatcher : public QObject
{
public:
    explicit KeyWatcher(int stallMs) : m_stallMs(stallMs) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress) {
            auto *key = static_cast<QKeyEvent *>(event);
            say("KEY " + QByteArray::number(int(key->modifiers())) + ' ' + QByteArray::number(key->key()));
            if (m_stallMs > 0 && key->matches(QKeySequence::Paste))
                QThread::msleep(m_stallMs);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    int m_stallMs;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int stallMs = 0;
    const QStringList args = app.arguments();
    if (const qsizetype i = args.indexOf(QStringLiteral("--stall-ms")); i >= 0 && i + 1 < args.size())
        stallMs = args.at(i + 1).toInt();

    QLineEdit field;
    field.setWindowTitle(QStringLiteral("Voxendo paste target"));
    field.setMinimumWidth(480);
    field.move(100, 240);
    KeyWatcher watcher(stallMs);
    field.installEventFilter(&watcher);
    QObject::connect(&field, &QLineEdit::textChanged, [](const QString &text) {
        say("TEXT " + text.toUtf8().toBase64());
    });

    bool ready = false;
    QObject::connect(&app, &QGuiApplication::focusWindowChanged, [&](QWindow *window) {
        if (ready)
            say(window ? "FOCUS in" : "FOCUS out");
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (field.isActiveWindow() && field.hasFocus()) {
            poll.stop();
            ready = true;
            say("READY");
        } else {
            field.activateWindow();
        }
    });
    field.show();
    field.activateWindow();
    poll.start(20);
    return app.exec();
}
