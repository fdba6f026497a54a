// The recording pill on a real X server with a window manager: its life cycle, where it sits,
// what it looks like (screenshots under build/screenshots/), that it never takes the focus
// from the application the text goes to, and that it can be dragged.
#include "insertion/recordingoverlaycontroller.h"
#include "insertion/recordingoverlaypanel.h"
#include "insertion/textinjector.h"
#include "platform/overlaywindow.h"
#include "support/fakekeysender.h"
#include "support/testsession.h"
#include "helperprocess.h"

#include <QDir>
#include <QGuiApplication>
#include <QPointer>
#include <QQuickItem>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

using namespace voxendo;
using namespace voxendo::test;

namespace {

QQuickItem *item(RecordingOverlayPanel *panel, const char *name)
{
    return panel->rootObject()->findChild<QQuickItem *>(QString::fromLatin1(name));
}

QString xprop(WId window)
{
    QProcess process;
    process.start(QStringLiteral("xprop"), {"-id", QString::number(window), "_NET_WM_DESKTOP", "_NET_WM_STATE", "WM_HINTS"});
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 10000))
        return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

void xdotool(const QStringList &arguments)
{
    QProcess::execute(QStringLiteral("xdotool"), arguments);
}

bool isMapped(RecordingOverlayPanel *panel)
{
    return panel && panel->isExposed();
}

} // namespace

class TestRecordingOverlay : public QObject
{
    Q_OBJECT

    std::unique_ptr<RecordingOverlayController> m_overlay;

private Q_SLOTS:
    void initTestCase()
    {
        VOXENDO_REQUIRE_SESSION(SessionPart::X11);
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(QDir().mkpath(QStringLiteral(VOXENDO_SCREENSHOT_DIR)));
    }

    void init() { m_overlay = std::make_unique<RecordingOverlayController>(platform::createOverlayWindowHints()); }
    void cleanup() { m_overlay.reset(); }

    void showReplacesThePillAndHideRemovesIt()
    {
        m_overlay->hide(); // nothing to hide: nothing happens
        QVERIFY(!m_overlay->panel());

        m_overlay->showListening();
        QPointer<RecordingOverlayPanel> first = m_overlay->panel();
        QVERIFY(first);
        QCOMPARE(first->mode(), OverlayMode::listening);
        QTRY_VERIFY(isMapped(first));

        // The same mode again still means a brand-new pill.
        m_overlay->showListening();
        QPointer<RecordingOverlayPanel> second = m_overlay->panel();
        QVERIFY(second && second != first);
        QTRY_VERIFY(!first); // the old one is gone, not just hidden
        QTRY_VERIFY(isMapped(second));

        m_overlay->showInserting();
        QPointer<RecordingOverlayPanel> third = m_overlay->panel();
        QCOMPARE(third->mode(), OverlayMode::inserting);
        QTRY_VERIFY(!second);

        m_overlay->hide();
        QVERIFY(!m_overlay->panel());
        QTRY_VERIFY(!third);
    }

    void drawsThePillOfEachMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("color");
        QTest::newRow("listening") << int(OverlayMode::listening)
                                   << "Listening.. Text lands wherever your cursor is when you stop"
                                   << QColor::fromRgbF(0.4f, 0.2f, 1.0f);
        QTest::newRow("inserting") << int(OverlayMode::inserting) << "Inserting the text.. Wait a sec"
                                   << QColor::fromRgbF(0.89f, 0.0f, 0.04f);
    }
    void drawsThePillOfEachMode()
    {
        QFETCH(int, mode);
        QFETCH(QString, text);
        QFETCH(QColor, color);
        m_overlay->show(OverlayMode(mode));
        RecordingOverlayPanel *panel = m_overlay->panel();
        QTRY_VERIFY(isMapped(panel));
        QCOMPARE(item(panel, "overlayText")->property("text").toString(), text);

        // Sized to its content: 14 px either side of dot + 8 + text, 8 px above and below.
        QQuickItem *label = item(panel, "overlayText");
        QCOMPARE(panel->width(), qCeil(14 + 10 + 8 + label->implicitWidth() + 14));
        QCOMPARE(panel->height(), qCeil(8 + qMax(10.0, label->implicitHeight()) + 8));
        // Centred on the primary screen, 12 px below its available area's top.
        const QScreen *screen = QGuiApplication::primaryScreen();
        const QPoint expected(screen->geometry().x() + (screen->geometry().width() - panel->width()) / 2,
                              screen->availableGeometry().y() + 12);
        QTRY_COMPARE(panel->position(), expected);

        // The dot pulses from the pill's first frame on.
        QQuickItem *dot = item(panel, "overlayDot");
        QTRY_VERIFY(dot->scale() > 1.2);
        QTRY_VERIFY(dot->scale() < 1.1);

        const QImage shot = panel->grabWindow();
        const QString path = QStringLiteral(VOXENDO_SCREENSHOT_DIR "/overlay-%1.png")
                                 .arg(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(shot.save(path));
        const int h = shot.height(), w = shot.width();
        // A capsule: the corners outside the rounding are see-through.
        QCOMPARE(qAlpha(shot.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(shot.pixel(w - 1, h - 1)), 0);
        // The dot's centre is the mode's colour.
        const QColor centre = shot.pixelColor(int(dot->mapToScene(QPointF(5, 5)).x() * shot.devicePixelRatio()),
                                              int(dot->mapToScene(QPointF(5, 5)).y() * shot.devicePixelRatio()));
        QVERIFY2(qAbs(centre.red() - color.red()) <= 3 && qAbs(centre.green() - color.green()) <= 3
                     && qAbs(centre.blue() - color.blue()) <= 3,
                 qPrintable(centre.name()));
        // Between dot and text: the dark, translucent background.
        const QColor background = shot.pixelColor(14 + 10 + 4, h / 2);
        QVERIFY2(background.alpha() > 140 && background.alpha() < 220 && background.lightness() < 60,
                 qPrintable(background.name(QColor::HexArgb)));
        // The outline along the top edge is tinted with the mode's colour.
        const QColor outline = shot.pixelColor(w / 2, 0);
        const bool violet = color.blue() > color.red();
        QVERIFY2(violet ? outline.blue() > outline.red() + 20 : outline.red() > outline.blue() + 20,
                 qPrintable(outline.name(QColor::HexArgb)));
    }

    void floatsOnEveryDesktopWithoutTakingTheFocus()
    {
        PasteTarget target;
        QVERIFY(target.waitForLine("READY"));

        // Part of a dictation: the pill shows while recording and while inserting, and the text
        // still lands in the field that had the focus.
        m_overlay->showListening();
        QTRY_VERIFY(isMapped(m_overlay->panel()));
        const QString hints = xprop(m_overlay->panel()->winId());
        QVERIFY2(hints.contains("_NET_WM_DESKTOP(CARDINAL) = 4294967295"), qPrintable(hints));
        for (const char *state : {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"})
            QVERIFY2(hints.contains(QLatin1String(state)), qPrintable(hints));
        QVERIFY2(hints.contains("accepts input or input focus: False"), qPrintable(hints));

        QTest::qWait(300);
        m_overlay->showInserting();
        QTRY_VERIFY(isMapped(m_overlay->panel()));
        TextInjector injector(platform::createKeySender(), platform::createClipboardFetchWatcher(),
                              std::make_unique<FakeAlertPresenter>());
        QSignalSpy finished(&injector, &TextInjector::insertionFinished);
        injector.injectText(QStringLiteral("said while the pill showed"));
        QVERIFY(finished.wait(10000));
        m_overlay->hide();

        QCOMPARE(target.text(), QStringLiteral("said while the pill showed"));
        QVERIFY2(!target.lines().contains("FOCUS out"), qPrintable(target.lines().join('\n')));
        QCOMPARE(QGuiApplication::focusWindow(), nullptr);
    }

    void canBeDraggedAndTheNextPillIsPlacedAnew()
    {
        m_overlay->showListening();
        RecordingOverlayPanel *panel = m_overlay->panel();
        QTRY_VERIFY(isMapped(panel));
        const QPoint home = RecordingOverlayPanel::placement(QGuiApplication::primaryScreen(), panel->size());
        QTRY_COMPARE(panel->position(), home);

        const QPoint grip = home + QPoint(panel->width() - 30, panel->height() / 2);
        xdotool({"mousemove", QString::number(grip.x()), QString::number(grip.y())});
        xdotool({"mousedown", "1"});
        QTest::qWait(100);
        for (int step = 1; step <= 10; ++step) {
            xdotool({"mousemove", QString::number(grip.x() + 15 * step), QString::number(grip.y() + 20 * step)});
            QTest::qWait(20);
        }
        xdotool({"mouseup", "1"});
        QTRY_COMPARE(panel->position(), home + QPoint(150, 200));

        m_overlay->showListening();
        QTRY_VERIFY(isMapped(m_overlay->panel()));
        QTRY_COMPARE(m_overlay->panel()->position(), home);
    }
};

QTEST_MAIN(TestRecordingOverlay)
#include "tst_recordingoverlay.moc"
