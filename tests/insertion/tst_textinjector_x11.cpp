// TextInjector on a real X server: XTest chords into another process's text field, the clipboard
// served to and read by other processes, held modifier keys, a slow target.
#include "insertion/textinjector.h"
#include "support/fakekeysender.h"
#include "support/testsession.h"
#include "helperprocess.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace voxendo;
using namespace voxendo::test;
using namespace std::chrono_literals;

namespace {

using Formats = QList<QPair<QString, QByteArray>>;

// The clipboard as another Qt application sees it: every format in order with its bytes
// (TIMESTAMP's value is a time and left out).
Formats clipboardSeenByAnotherProcess()
{
    Helper dump(QStringLiteral(VOXENDO_CLIPBOARD_OWNER), {QStringLiteral("dump")});
    if (!dump.waitForLine(QStringLiteral("END")))
        return {{QStringLiteral("no answer"), {}}};
    Formats formats;
    for (const QString &line : dump.linesStartingWith(QStringLiteral("FORMAT "))) {
        const QString name = line.section(' ', 0, 0);
        formats.append({name, name == QLatin1String("TIMESTAMP") ? QByteArray()
                                                                  : QByteArray::fromBase64(line.section(' ', 1).toLatin1())});
    }
    return formats;
}

QByteArray readWithXclip(const QString &target)
{
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {"-o", "-selection", "clipboard", "-t", target});
    if (!QTest::qWaitFor([&] { return xclip.state() == QProcess::NotRunning; }, 10000))
        return "xclip did not finish";
    return xclip.readAllStandardOutput();
}

struct ClipboardOwner : Helper
{
    explicit ClipboardOwner(const QStringList &formatFiles)
        : Helper(QStringLiteral(VOXENDO_CLIPBOARD_OWNER), QStringList{"serve"} + formatFiles)
    {
    }
};

void xdotool(const QStringList &arguments)
{
    QProcess::execute(QStringLiteral("xdotool"), arguments);
}

} // namespace

class TestTextInjectorX11 : public QObject
{
    Q_OBJECT

    QTemporaryDir m_files;

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(m_files.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return file.fileName();
    }

    static std::unique_ptr<TextInjector> makeInjector(TextInjectorTiming timing = {})
    {
        return std::make_unique<TextInjector>(platform::createKeySender(), platform::createClipboardFetchWatcher(),
                                              std::make_unique<FakeAlertPresenter>(), timing);
    }

    static bool injectAndFinish(TextInjector &injector, const QString &text)
    {
        QSignalSpy finished(&injector, &TextInjector::insertionFinished);
        injector.injectText(text);
        return finished.wait(10000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        VOXENDO_REQUIRE_SESSION(SessionPart::X11);
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(platform::createKeySender()->canPostSyntheticInput().ok());
        QVERIFY(m_files.isValid());
    }

    void cleanup()
    {
        xdotool({"keyup", "alt"});
        QGuiApplication::clipboard()->clear();
    }

    void pastesIntoAnotherApplication_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("ascii") << QStringLiteral("hello world");
        QTest::newRow("non-ascii") << QString::fromUtf8("naïve café — 東京");
        QTest::newRow("emoji") << QString::fromUtf8("ok 👍🏽 done");
    }
    void pastesIntoAnotherApplication()
    {
        QFETCH(QString, text);
        QGuiApplication::clipboard()->clear();
        PasteTarget target;
        QVERIFY(target.waitForLine("READY"));
        auto injector = makeInjector();

        QVERIFY(injectAndFinish(*injector, text));
        QCOMPARE(target.text(), text);
        QCOMPARE(target.vPresses(), (QList<Qt::KeyboardModifiers>{Qt::ControlModifier}));
        QVERIFY2(!target.lines().contains("FOCUS out"), qPrintable(target.lines().join('\n')));

        // An empty clipboard is not "restored": the transcript stays, readable by any toolkit,
        // and flagged for clipboard managers to keep out of their history.
        QCOMPARE(QString::fromUtf8(readWithXclip("UTF8_STRING")), text);
        QCOMPARE(readWithXclip(TextInjector::secretHintFormat), QByteArray("secret"));
    }

    void restoresEveryFormatByteForByte()
    {
        // Large enough that the X server hands it over in increments.
        QImage noise(512, 512, QImage::Format_RGB32);
        QRandomGenerator random(7);
        for (int y = 0; y < noise.height(); ++y) {
            for (int x = 0; x < noise.width(); ++x)
                noise.setPixel(x, y, random.generate());
        }
        QByteArray png;
        {
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            QVERIFY(noise.save(&buffer, "PNG"));
        }
        QVERIFY(png.size() > 500'000);
        const QByteArray text = QString::fromUtf8("the user's text ✓").toUtf8();

        Formats before;
        {
            ClipboardOwner owner({"text/plain=" + writeFile("text", text), "image/png=" + writeFile("png", png)});
            QVERIFY(owner.waitForLine("OWNED"));
            before = clipboardSeenByAnotherProcess();
            QCOMPARE(before.value(0), qMakePair(QStringLiteral("text/plain"), text));
            QCOMPARE(before.value(1), qMakePair(QStringLiteral("image/png"), png));

            PasteTarget target;
            QVERIFY(target.waitForLine("READY"));
            auto injector = makeInjector();
            QVERIFY(injectAndFinish(*injector, "dictated"));
            QCOMPARE(target.text(), QStringLiteral("dictated"));
        } // the original owner is gone: what follows is served from the restored copy

        QCOMPARE(clipboardSeenByAnotherProcess(), before);
    }

    void keepsWhatTheUserCopiedMeanwhile()
    {
        ClipboardOwner owner({"text/plain=" + writeFile("old", "old contents")});
        QVERIFY(owner.waitForLine("OWNED"));
        PasteTarget target;
        QVERIFY(target.waitForLine("READY"));
        TextInjectorTiming timing;
        timing.restoreDelay = 1500ms;
        auto injector = makeInjector(timing);
        QSignalSpy finished(injector.get(), &TextInjector::insertionFinished);

        injector->injectText("dictated");
        QTRY_COMPARE(target.text(), QStringLiteral("dictated"));
        QCOMPARE(finished.size(), 0);
        ClipboardOwner user({"text/plain=" + writeFile("new", "copied meanwhile")});
        QVERIFY(user.waitForLine("OWNED"));

        QVERIFY(finished.wait(10000));
        QCOMPARE(clipboardSeenByAnotherProcess().value(0),
                 qMakePair(QStringLiteral("text/plain"), QByteArray("copied meanwhile")));
    }

    void pastesOnceTheShortcutModifierIsUp_data()
    {
        QTest::addColumn<int>("releaseAfterMs");
        QTest::newRow("released shortly after") << 300;
        QTest::newRow("held on") << -1;
    }
    void pastesOnceTheShortcutModifierIsUp()
    {
        QFETCH(int, releaseAfterMs);
        PasteTarget target;
        QVERIFY(target.waitForLine("READY"));
        auto injector = makeInjector();

        xdotool({"keydown", "alt"});
        auto keys = platform::createKeySender();
        QCOMPARE(*keys->heldModifiers().value, Qt::KeyboardModifiers(Qt::AltModifier));
        if (releaseAfterMs >= 0)
            QTimer::singleShot(releaseAfterMs, [] { xdotool({"keyup", "alt"}); });

        QVERIFY(injectAndFinish(*injector, "typed with alt"));
        QCOMPARE(target.text(), QStringLiteral("typed with alt"));
        QCOMPARE(target.vPresses(), (QList<Qt::KeyboardModifiers>{Qt::ControlModifier}));
        // A key still held after the chord is held again, as the user's hand says.
        const Qt::KeyboardModifiers after = releaseAfterMs >= 0 ? Qt::NoModifier : Qt::AltModifier;
        QCOMPARE(*keys->heldModifiers().value, after);
    }

    void slowTargetGetsTheTextNotTheOldClipboard()
    {
        ClipboardOwner owner({"text/plain=" + writeFile("old", "old contents")});
        QVERIFY(owner.waitForLine("OWNED"));
        // Busy for over a second when the chord arrives, i.e. past the 0.5 s restore delay.
        PasteTarget target({"--stall-ms", "1200"});
        QVERIFY(target.waitForLine("READY"));
        auto injector = makeInjector();

        QVERIFY(injectAndFinish(*injector, "dictated"));
        QCOMPARE(target.text(), QStringLiteral("dictated"));
        QCOMPARE(clipboardSeenByAnotherProcess().value(0),
                 qMakePair(QStringLiteral("text/plain"), QByteArray("old contents")));
    }

    void messageBoxShowsTheAlert()
    {
        MessageBoxAlertPresenter presenter;
        const Alert alert = TextInjector::permissionAlert("some text");
        for (const int choice : {1, 0}) {
            int chosen = -2;
            presenter.present(alert, [&](int button) { chosen = button; });
            QMessageBox *box = nullptr;
            QTRY_VERIFY((box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())));
            QCOMPARE(box->icon(), QMessageBox::Warning);
            QCOMPARE(box->text(), alert.messageText);
            QCOMPARE(box->informativeText(), alert.informativeText);
            QStringList labels;
            for (QAbstractButton *button : box->buttons())
                labels.append(button->text());
            QCOMPARE(labels.size(), 2);
            QVERIFY(labels.contains("Open Settings") && labels.contains("OK"));
            QCOMPARE(box->defaultButton()->text(), QStringLiteral("Open Settings"));

            const QString label = alert.buttons.at(choice);
            for (QAbstractButton *button : box->buttons()) {
                if (button->text() == label)
                    button->click();
            }
            QTRY_COMPARE(chosen, choice);
        }
    }
};

QTEST_MAIN(TestTextInjectorX11)
#include "tst_textinjector_x11.moc"
