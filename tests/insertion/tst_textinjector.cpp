// TextInjector's own logic with fake platform parts and the in-process clipboard: the fallback
// without synthetic input, the alert, when the restore happens, and overlapping insertions.
// The real X11 paths are in tst_textinjector_x11.
#include "insertion/textinjector.h"
#include "support/capture.h"
#include "support/fakekeysender.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>

using namespace voxendo;
using namespace voxendo::test;
using namespace std::chrono_literals;

namespace {

const QString category = QStringLiteral("com.voxendo.app.TextInjector");

struct Rig
{
    FakeKeySender *keys;
    FakeClipboardFetchWatcher *watcher;
    FakeAlertPresenter *alerts;
    std::unique_ptr<TextInjector> injector;
};

Rig makeRig(TextInjectorTiming timing)
{
    auto keys = std::make_unique<FakeKeySender>();
    auto watcher = std::make_unique<FakeClipboardFetchWatcher>();
    auto alerts = std::make_unique<FakeAlertPresenter>();
    Rig rig{keys.get(), watcher.get(), alerts.get(), nullptr};
    rig.injector = std::make_unique<TextInjector>(std::move(keys), std::move(watcher), std::move(alerts), timing);
    return rig;
}

TextInjectorTiming quick()
{
    TextInjectorTiming t;
    t.pasteDelay = 20ms;
    t.restoreDelay = 50ms;
    t.modifierReleaseTimeout = 300ms;
    t.fetchTimeout = 3000ms;
    t.fetchSettle = 20ms;
    return t;
}

QString clipboardText()
{
    return QGuiApplication::clipboard()->text();
}

} // namespace

class TestTextInjector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QGuiApplication::clipboard()->setText(QStringLiteral("the user's clipboard")); }

    void withoutSyntheticInputTheTextStaysOnTheClipboard()
    {
        LogCapture log;
        Rig rig = makeRig(quick());
        rig.keys->available = platform::Status::failure(1, QStringLiteral("not an X11 session"));
        QSignalSpy settings(rig.injector.get(), &TextInjector::permissionSettingsRequested);

        const QString text = QString::fromUtf8("café ").repeated(30); // 150 characters
        rig.injector->injectText(text);
        QCOMPARE(clipboardText(), text);
        QTRY_COMPARE(rig.alerts->alerts.size(), 1);

        const Alert alert = rig.alerts->alerts.first();
        QCOMPARE(alert.messageText, QStringLiteral("Accessibility Permission Required"));
        QCOMPARE(alert.informativeText,
                 QStringLiteral("Voxendo needs Accessibility permission to paste text automatically.\n\n"
                                "Your transcription has been copied to clipboard. Press Ctrl+V to paste.\n\n"
                                "Text: ")
                     + text.left(100));
        QCOMPARE(alert.buttons, (QStringList{"Open Settings", "OK"}));

        // Nothing is pasted and nothing restored later: the text is the user's to paste.
        QTest::qWait(300);
        QCOMPARE(rig.keys->chords, 0);
        QCOMPARE(clipboardText(), text);
        QVERIFY(!QGuiApplication::clipboard()->mimeData()->hasFormat(TextInjector::ownerFormat));

        rig.alerts->answer(1); // OK
        QCOMPARE(settings.size(), 0);
        rig.injector->injectText(QStringLiteral("again"));
        QTRY_COMPARE(rig.alerts->alerts.size(), 2);
        rig.alerts->answer(0); // Open Settings
        QCOMPARE(settings.size(), 1);

        QCOMPARE(log.messages(category).mid(0, 4),
                 (QStringList{"Injecting text (length: 150)", "Accessibility permission: false",
                              "Accessibility permission not granted - text will be copied to clipboard only",
                              "Synthetic input unavailable: not an X11 session"}));
        QVERIFY(log.messages(category).contains("Text copied to clipboard (manual paste required)"));
        QVERIFY(!log.contains(QStringLiteral("café")));
    }

    void alertPreview_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("preview");
        QTest::newRow("empty") << QString() << QStringLiteral("(empty)");
        QTest::newRow("short") << QStringLiteral("hello") << QStringLiteral("hello");
        QTest::newRow("exactly 100") << QString(100, 'a') << QString(100, 'a');
        QTest::newRow("150 cut, no ellipsis") << QString(150, 'b') << QString(100, 'b');
        // Characters as the user sees them: an emoji with a skin tone is one, never cut in half.
        const QString thumbs = QString::fromUtf8("👍🏽");
        QTest::newRow("emoji") << thumbs.repeated(120) << thumbs.repeated(100);
        QTest::newRow("emoji across the cut") << QString(99, 'c') + thumbs + "d"
                                              << QString(99, 'c') + thumbs;
    }
    void alertPreview()
    {
        QFETCH(QString, text);
        QFETCH(QString, preview);
        QCOMPARE(TextInjector::alertPreview(text), preview);
    }

    void logsTheSequenceWithoutTheText()
    {
        LogCapture log;
        Rig rig = makeRig(quick());
        rig.watcher->available = platform::Status::failure(1, QStringLiteral("none"));
        QSignalSpy finished(rig.injector.get(), &TextInjector::insertionFinished);
        rig.injector->injectText(QString::fromUtf8("👍🏽 secret words"));
        QVERIFY(finished.wait());
        QCOMPARE(log.messages(category),
                 (QStringList{"Injecting text (length: 14)", "Accessibility permission: true",
                              "Text copied to clipboard", "Paste simulated"}));
        QVERIFY(!log.contains(QStringLiteral("secret words")));
        QCOMPARE(clipboardText(), QStringLiteral("the user's clipboard"));
    }

    void restoreWaitsUntilTheTargetFetchedTheText()
    {
        TextInjectorTiming timing = quick();
        timing.fetchTimeout = 5000ms;
        Rig rig = makeRig(timing);
        QSignalSpy finished(rig.injector.get(), &TextInjector::insertionFinished);
        rig.injector->injectText(QStringLiteral("dictated"));
        QTRY_COMPARE(rig.keys->chords, 1);

        // Well past the restore delay, a target that has only looked at the offered formats has
        // not taken the text yet: the transcript must still be there for it.
        rig.watcher->fetch(QStringLiteral("TARGETS"));
        QTest::qWait(400);
        QCOMPARE(finished.size(), 0);
        QCOMPARE(clipboardText(), QStringLiteral("dictated"));

        rig.watcher->fetch(QStringLiteral("UTF8_STRING"));
        QVERIFY(finished.wait(2000));
        QCOMPARE(clipboardText(), QStringLiteral("the user's clipboard"));
    }

    void restoreGivesUpOnATargetThatNeverFetches()
    {
        TextInjectorTiming timing = quick();
        timing.fetchTimeout = 600ms;
        Rig rig = makeRig(timing);
        QSignalSpy finished(rig.injector.get(), &TextInjector::insertionFinished);
        rig.injector->injectText(QStringLiteral("dictated"));
        QTest::qWait(300);
        QCOMPARE(finished.size(), 0);
        QVERIFY(finished.wait(2000));
        QCOMPARE(clipboardText(), QStringLiteral("the user's clipboard"));
    }

    void fetchesBeforeTheChordDoNotCount()
    {
        // Clipboard managers read every new clipboard at once; that is not the paste.
        TextInjectorTiming timing = quick();
        timing.pasteDelay = 100ms;
        timing.fetchTimeout = 5000ms;
        Rig rig = makeRig(timing);
        QSignalSpy finished(rig.injector.get(), &TextInjector::insertionFinished);
        rig.injector->injectText(QStringLiteral("dictated"));
        rig.watcher->fetch(QStringLiteral("UTF8_STRING"));
        QTRY_COMPARE(rig.keys->chords, 1);
        QTest::qWait(300);
        QCOMPARE(finished.size(), 0);
        rig.watcher->fetch(QStringLiteral("UTF8_STRING"));
        QVERIFY(finished.wait(2000));
    }

    void overlappingInsertionsKeepTheUsersClipboard()
    {
        Rig rig = makeRig(quick());
        rig.watcher->available = platform::Status::failure(1, QStringLiteral("none"));
        QStringList pasted;
        rig.keys->onChord = [&] { pasted.append(clipboardText()); };
        QSignalSpy finished(rig.injector.get(), &TextInjector::insertionFinished);

        rig.injector->injectText(QStringLiteral("first"));
        rig.injector->injectText(QStringLiteral("second"));
        QTRY_COMPARE(finished.size(), 2);
        QCOMPARE(pasted, (QStringList{"first", "second"}));
        QCOMPARE(clipboardText(), QStringLiteral("the user's clipboard"));
    }

    void chordWaitsForModifiersToBeReleased_data()
    {
        QTest::addColumn<int>("heldPolls");
        QTest::addColumn<bool>("releasedInTime");
        QTest::newRow("released") << 5 << true;
        QTest::newRow("held past the bound") << 100000 << false;
    }
    void chordWaitsForModifiersToBeReleased()
    {
        QFETCH(int, heldPolls);
        QFETCH(bool, releasedInTime);
        Rig rig = makeRig(quick());
        rig.keys->held = Qt::AltModifier;
        rig.keys->modifiersHeldFor = heldPolls;
        int pollsAtChord = -1;
        rig.keys->onChord = [&] { pollsAtChord = rig.keys->modifierPolls; };
        rig.injector->injectText(QStringLiteral("text"));
        QTRY_COMPARE(rig.keys->chords, 1);
        if (releasedInTime)
            QCOMPARE(pollsAtChord, heldPolls + 1); // the first poll that saw no modifier
        else
            QVERIFY(rig.keys->modifiersHeldFor > 0); // the bound, not a release, let it through
    }
};

QTEST_MAIN(TestTextInjector)
#include "tst_textinjector.moc"
