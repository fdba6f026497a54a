// Another application's clipboard, for tests.
//
//   clipboardowner serve FORMAT=FILE...  puts the files' bytes on the clipboard under those formats,
//                                        in that order, prints OWNED and serves until killed
//   clipboardowner dump                  prints "FORMAT <name> <base64 data>" for every format the
//                                        clipboard offers, in order, then "END"
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>

#include <cstdio>

namespace {

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("dump")) {
        const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
        for (const QString &format : mime ? mime->formats() : QStringList())
            say("FORMAT " + format.toUtf8() + ' ' + mime->data(format).toBase64());
        say("END");
        return 0;
    }
    if (args.value(0) != QLatin1String("serve"))
        return 2;

    auto *mime = new QMimeData;
    for (const QString &argument : args.mid(1)) {
        const qsizetype eq = argument.indexOf(QLatin1Char('='));
        QFile file(argument.mid(eq + 1));
        if (eq <= 0 || !file.open(QIODevice::ReadOnly))
            return 2;
        mime->setData(argument.left(eq), file.readAll());
    }
    QGuiApplication::clipboard()->setMimeData(mime);
    QTimer::singleShot(0, [] { say("OWNED"); });
    return app.exec();
}
