#include "app/updater.h"
#include "support/httpsfakeserver.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

using namespace voxendo;
using namespace voxendo::test;

namespace {

struct RecordingPresenter : UpdatePresenter
{
    QStringList *calls;
    explicit RecordingPresenter(QStringList *c) : calls(c) {}
    void showUpToDate(const QString &current) override { calls->append("uptodate " + current); }
    void showUpdateAvailable(const AppcastRelease &r, const QString &current) override
    {
        calls->append("available " + r.version + " " + r.downloadUrl.toString() + " " + current);
    }
    void showError(const QString &message) override { calls->append("error " + message); }
};

const QByteArray feed =
    "<?xml version=\"1.0\"?>\n"
    "<rss version=\"2.0\" xmlns:u=\"http://example.invalid/update\">\n"
    " <channel><title>Voxendo</title>\n"
    "  <item><title>1.10.0</title>\n"
    "   <enclosure url=\"https://example.invalid/voxendo-1.10.0.deb\" u:version=\"110\" u:shortVersionString=\"1.10.0\"/></item>\n"
    "  <item><title>1.9.2</title><u:shortVersionString>1.9.2</u:shortVersionString>\n"
    "   <link>https://example.invalid/1.9.2</link></item>\n"
    " </channel></rss>";

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parser_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("url");
        QTest::newRow("highest of several, attributes") << feed << "1.10.0" << "https://example.invalid/voxendo-1.10.0.deb";
        QTest::newRow("element version and link")
            << QByteArray("<rss><channel><item><version>2.0</version><link>https://x.invalid/2</link></item></channel></rss>")
            << "2.0" << "https://x.invalid/2";
        QTest::newRow("item without link is skipped")
            << QByteArray("<rss><channel><item><version>9.0</version></item>"
                          "<item><version>1.0</version><link>https://x.invalid/1</link></item></channel></rss>")
            << "1.0" << "https://x.invalid/1";
        QTest::newRow("no items") << QByteArray("<rss><channel></channel></rss>") << QString() << QString();
        QTest::newRow("not xml") << QByteArray("{\"json\":true}") << QString() << QString();
        QTest::newRow("html page") << QByteArray("<html><body>hi</body></html>") << QString() << QString();
    }
    void parser()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, version);
        QFETCH(QString, url);
        QString error;
        const auto release = AppcastParser::newest(xml, &error);
        if (version.isEmpty()) {
            QVERIFY(!release);
            QVERIFY(!error.isEmpty());
        } else {
            QVERIFY(release);
            QCOMPARE(release->version, version);
            QCOMPARE(release->downloadUrl.toString(), url);
        }
    }

    void check_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("newer") << "1.9.2" << 200 << feed
                               << "available 1.10.0 https://example.invalid/voxendo-1.10.0.deb 1.9.2";
        QTest::newRow("same") << "1.10.0" << 200 << feed << "uptodate 1.10.0";
        QTest::newRow("ahead") << "2.0.0" << 200 << feed << "uptodate 2.0.0";
        QTest::newRow("server error") << "1.0" << 500 << QByteArray("oops")
                                      << "error An error occurred while checking for updates: HTTP 500";
        QTest::newRow("garbage") << "1.0" << 200 << QByteArray("garbage") << "error The update feed could not be read.";
    }
    void check()
    {
        QFETCH(QString, current);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);

        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.enqueue("GET", "/appcast.xml", FakeResponse::text(status, body, "application/rss+xml").after(50));
        qputenv("VOXENDO_EXTRA_CA_FILE", HttpsFakeServer::trustedCaPath().toUtf8());
        QNetworkAccessManager nam;
        QStringList calls;
        Updater updater(server.baseUrl().resolved(QUrl("/appcast.xml")), current,
                        std::make_unique<RecordingPresenter>(&calls), &nam);
        QSignalSpy canCheck(&updater, &Updater::canCheckForUpdatesChanged);
        QSignalSpy finished(&updater, &Updater::checkFinished);

        QVERIFY(updater.canCheckForUpdates());
        updater.checkForUpdates();
        QVERIFY(!updater.canCheckForUpdates());
        updater.checkForUpdates(); // ignored while one runs
        QVERIFY(finished.wait(5000));
        QVERIFY(updater.canCheckForUpdates());
        QCOMPARE(canCheck.count(), 2);
        QCOMPARE(calls, QStringList{expected});
        QCOMPARE(server.requests().size(), 1);
        qunsetenv("VOXENDO_EXTRA_CA_FILE");
    }

    void unreachableFeedShowsAnError()
    {
        QNetworkAccessManager nam;
        QStringList calls;
        Updater updater(QUrl("https://127.0.0.1:1/appcast.xml"), "1.0",
                        std::make_unique<RecordingPresenter>(&calls), &nam);
        QSignalSpy finished(&updater, &Updater::checkFinished);
        updater.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QCOMPARE(calls.size(), 1);
        QVERIFY2(calls.first().startsWith("error An error occurred while checking for updates: "), qPrintable(calls.first()));
    }
};

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
