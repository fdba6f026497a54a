// The devserver's wire-level pieces, without a network: HTTP request framing, multipart bodies,
// version comparison, password hashing and token signing.
#include "devserver/httpmessage.h"
#include "devserver/multipart.h"
#include "devserver/passwordhash.h"
#include "devserver/tokensigner.h"
#include "devserver/versions.h"

#include <QTest>

using namespace voxendo::devserver;

class TestDevserverProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requestFraming_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<int>("errorStatus"); // 0: a complete request is expected
        QTest::addColumn<QByteArray>("body");

        const qint64 big = 1 << 20;
        QTest::newRow("no body") << QByteArray("GET /config HTTP/1.1\r\nHost: x\r\n\r\n") << big << 0 << QByteArray();
        QTest::newRow("content-length") << QByteArray("POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello") << big << 0 << QByteArray("hello");
        QTest::newRow("chunked, extension, trailer")
            << QByteArray("POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n6\r\n world\r\n0\r\nX-T: 1\r\n\r\n")
            << big << 0 << QByteArray("hello world");
        QTest::newRow("body exactly at the limit") << QByteArray("POST /a HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd") << qint64(4) << 0 << QByteArray("abcd");
        // Refused from the head alone: no body byte has been sent.
        QTest::newRow("content-length over the limit") << QByteArray("POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\n") << qint64(4) << 413 << QByteArray();
        QTest::newRow("chunks over the limit") << QByteArray("POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\n") << qint64(4) << 413 << QByteArray();
        QTest::newRow("length and chunked together")
            << QByteArray("POST /a HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n") << big << 400 << QByteArray();
        QTest::newRow("two different lengths") << QByteArray("POST /a HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n") << big << 400 << QByteArray();
        QTest::newRow("negative length") << QByteArray("POST /a HTTP/1.1\r\nContent-Length: -1\r\n\r\n") << big << 400 << QByteArray();
        QTest::newRow("bad chunk size") << QByteArray("POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n") << big << 400 << QByteArray();
        QTest::newRow("unknown transfer coding") << QByteArray("POST /a HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n") << big << 501 << QByteArray();
        QTest::newRow("bare LF lines") << QByteArray("GET / HTTP/1.1\nHost: x\n\r\n\r\n") << big << 400 << QByteArray();
        QTest::newRow("folded header") << QByteArray("GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n") << big << 400 << QByteArray();
        QTest::newRow("HTTP/2 preface") << QByteArray("PRI * HTTP/2.0\r\n\r\n") << big << 505 << QByteArray();
        QTest::newRow("head too large")
            << QByteArray("GET / HTTP/1.1\r\nX: " + QByteArray(70 * 1024, 'a') + "\r\n\r\n") << big << 431 << QByteArray();
    }

    // Each input is fed whole and byte by byte: framing must not depend on how TCP splits it.
    void requestFraming()
    {
        QFETCH(QByteArray, input);
        QFETCH(qint64, limit);
        QFETCH(int, errorStatus);
        QFETCH(QByteArray, body);

        for (const bool byteByByte : {false, true}) {
            HttpRequestParser parser([limit](const HttpRequest &) { return limit; });
            if (byteByByte) {
                for (char c : input)
                    parser.feed(QByteArray(1, c));
            } else {
                parser.feed(input);
            }
            if (errorStatus) {
                QCOMPARE(parser.state(), HttpRequestParser::State::Failed);
                QCOMPARE(parser.errorStatus(), errorStatus);
            } else {
                QCOMPARE(parser.state(), HttpRequestParser::State::Complete);
                QCOMPARE(parser.take().body, body);
            }
        }
    }

    void pipelinedRequestsAndContinue()
    {
        HttpRequestParser parser([](const HttpRequest &head) {
            return head.path == "/upload" ? qint64(100) : qint64(10);
        });
        parser.feed("POST /upload?x=1 HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
        QCOMPARE(parser.state(), HttpRequestParser::State::Body);
        QVERIFY(parser.takeContinueRequest());
        QVERIFY(!parser.takeContinueRequest()); // asked once only
        QCOMPARE(parser.head().query, QByteArray("x=1"));

        // The rest of the body and a whole second request arrive together.
        parser.feed("abcGET /b HTTP/1.0\r\n\r\n");
        HttpRequest first = parser.take();
        QCOMPARE(first.body, QByteArray("abc"));
        QCOMPARE(first.path, QByteArray("/upload"));
        QVERIFY(first.wantsKeepAlive());
        QCOMPARE(parser.state(), HttpRequestParser::State::Complete);
        HttpRequest second = parser.take();
        QCOMPARE(second.path, QByteArray("/b"));
        QVERIFY(!second.wantsKeepAlive()); // HTTP/1.0 without keep-alive
        QCOMPARE(parser.state(), HttpRequestParser::State::Head);
    }

    void multipart_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");

        // The application's own layout: file, model, language, duration, closing delimiter.
        const QByteArray fileData = QByteArray(1, '\0') + "\r\n--B\r\na--B-1";
        const QByteArray appBody =
            "--B-1\r\nContent-Disposition: form-data; name=\"file\"; filename=\"voxendo_1.m4a\"\r\n"
            "Content-Type: audio/m4a\r\n\r\n" + fileData + "\r\n"
            "--B-1\r\nContent-Disposition: form-data; name=\"model\"\r\n\r\nwhisper-1\r\n"
            "--B-1\r\nContent-Disposition: form-data; name=\"language\"\r\n\r\nen\r\n"
            "--B-1--\r\n";
        QTest::newRow("application layout") << QByteArray("multipart/form-data; boundary=B-1") << appBody << true;
        QTest::newRow("quoted boundary") << QByteArray("multipart/form-data; boundary=\"B-1\"") << appBody << true;
        QTest::newRow("no closing delimiter")
            << QByteArray("multipart/form-data; boundary=B-1") << appBody.left(appBody.size() - 9) << false;
        QTest::newRow("not multipart") << QByteArray("application/json") << appBody << false;
        QTest::newRow("no boundary") << QByteArray("multipart/form-data") << appBody << false;
    }

    void multipart()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(bool, ok);

        const auto form = parseFormData(contentType, body);
        QCOMPARE(form.ok(), ok);
        if (!ok) {
            QVERIFY(!form.status.message.isEmpty());
            return;
        }
        QCOMPARE(form.value->parts.size(), 3);
        const FormPart *file = form.value->field("file");
        QVERIFY(file);
        QCOMPARE(file->fileName, QByteArray("voxendo_1.m4a"));
        QCOMPARE(file->contentType, QByteArray("audio/m4a"));
        // A shorter boundary, and the boundary not at a line start, belong to the data.
        QCOMPARE(file->data, QByteArray(1, '\0') + "\r\n--B\r\na--B-1");
        QCOMPARE(form.value->field("model")->data, QByteArray("whisper-1"));
        QCOMPARE(form.value->field("language")->data, QByteArray("en"));
    }

    void versions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected");
        QTest::newRow("numeric order") << "1.10" << "1.9" << 1;
        QTest::newRow("missing piece is 0") << "2.0" << "2.0.0" << 0;
        QTest::newRow("fourth piece ignored") << "1.2.3.4" << "1.2.3.9" << 0;
        QTest::newRow("non-numeric piece is 0") << "1.2.3-beta" << "1.2.0" << 0;
        QTest::newRow("empty pieces dropped") << "1..2" << "1.2" << 0;
        QTest::newRow("empty text") << "" << "0.0.1" << -1;
        QTest::newRow("older") << "1.2.3" << "1.3.0" << -1;
        QTest::newRow("space is not a number") << "1. 3" << "1.3" << -1;
    }

    void versions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, expected);
        QCOMPARE(compareVersions(a, b), expected);
    }

    void passwordHashes()
    {
        const QString password = QStringLiteral("correct horse");
        const QString h1 = PasswordHash::make(password, PasswordHash::kMinimumIterations);
        const QString h2 = PasswordHash::make(password, PasswordHash::kMinimumIterations);
        QVERIFY(h1.startsWith(QLatin1String("pbkdf2-sha256$1000$")));
        QVERIFY(h1 != h2); // a fresh salt each time
        QVERIFY(!h1.contains(password));
        QVERIFY(PasswordHash::verify(password, h1));
        QVERIFY(PasswordHash::verify(password, h2));
        QVERIFY(!PasswordHash::verify(QStringLiteral("correct hors"), h1));
        QVERIFY(!PasswordHash::verify(password, QString()));
        QVERIFY(!PasswordHash::verify(password, QStringLiteral("pbkdf2-sha256$0$AAAA$AAAA")));
        QVERIFY(!PasswordHash::verify(password, password));
    }

    void signedTokens()
    {
        const TokenSigner signer("0123456789abcdef0123456789abcdef");
        const QByteArray token = signer.sign({{"sub", "u1"}, {"exp", 42}});
        QCOMPARE(token.count('.'), 2);
        const auto claims = signer.verify(token);
        QVERIFY(claims);
        QCOMPARE(claims->value("sub").toString(), QStringLiteral("u1"));

        // Another user's claims under the same signature, and a token of another secret.
        QList<QByteArray> parts = token.split('.');
        parts[1] = QByteArray(R"({"exp":42,"sub":"u2"})")
                       .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        QVERIFY(!signer.verify(parts.join('.')));
        QVERIFY(!TokenSigner("another secret, just as long....").verify(token));
        QVERIFY(!signer.verify("not.a.token"));
        QVERIFY(!signer.verify(""));
    }
};

QTEST_GUILESS_MAIN(TestDevserverProtocol)
#include "tst_devserver_protocol.moc"
