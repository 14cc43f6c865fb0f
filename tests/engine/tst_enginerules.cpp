// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's rules that need no stream: display names, failure texts and the retry schedule.
#include <gst/gst.h>

#include <QtTest>

#include "engine/MediaNames.h"
#include "engine/RetrySchedule.h"
#include "engine/StreamError.h"

using namespace orvane;

class TestEngineRules : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { gst_init(nullptr, nullptr); }
    void namesFromUrls_data();
    void namesFromUrls();
    void failuresInPlainWords_data();
    void failuresInPlainWords();
    void retriesBackOffButNeverStop();
};

void TestEngineRules::namesFromUrls_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("name");
    const std::pair<const char*, const char*> rows[] = {
        {"http://radio.example:8000/live/jazz.mp3", "jazz"},
        {"http://radio.example/a.b.aac", "a.b"},  // only the last extension goes
        {"http://radio.example/x/late.ogg?sid=4&t=1", "late"},
        {"http://radio.example/channels/rock/", "rock"},
        {"http://radio.example/My%20Station.mp3", "My Station"},
        {"http://radio.example:8000/", "radio.example"},
        {"/home/me/Music/track.flac", "track"},
        {"http://radio.example/.hidden", ".hidden"},
    };
    for (const auto& [url, name] : rows) {
        QTest::newRow(url) << QString::fromUtf8(url) << QString::fromUtf8(name);
    }
}

void TestEngineRules::namesFromUrls() {
    QFETCH(QString, url);
    QFETCH(QString, name);
    QCOMPARE(nameFromUrl(url), name);
    // Title before station before the playlist's name before the URL; nothing without a URL.
    QCOMPARE(displayName({}, {}, url), name);
    QCOMPARE(displayName(QStringLiteral("  "), QStringLiteral("Station"), url),
             QStringLiteral("Station"));
    QCOMPARE(displayName(QStringLiteral("Title"), QStringLiteral("Station"), {}), QString());
    QCOMPARE(displayName({}, {}, QStringLiteral(" Listed "), url), QStringLiteral("Listed"));
    QCOMPARE(displayName({}, QStringLiteral("Station"), QStringLiteral("Listed"), url),
             QStringLiteral("Station"));
}

void TestEngineRules::failuresInPlainWords_data() {
    QTest::addColumn<quint32>("domain");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("http");
    QTest::addColumn<int>("connect");
    QTest::addColumn<bool>("gotData");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("permanent");
    const quint32 resource = GST_RESOURCE_ERROR;
    const quint32 stream = GST_STREAM_ERROR;
    const QString internal = QStringLiteral("Internal data stream error.");
    const int failed = GST_STREAM_ERROR_FAILED;
    using C = StreamError::Connect;
    QTest::newRow("refused") << stream << failed << internal << 0 << int(C::Refused) << false
                             << "Connection refused" << false;
    QTest::newRow("no such host") << stream << failed << internal << 0 << int(C::HostNotFound)
                                  << false << "Host not found (radio.example)" << false;
    QTest::newRow("no answer") << stream << failed << internal << 0 << int(C::TimedOut) << false
                               << "Timed out" << false;
    QTest::newRow("not checked yet") << stream << failed << internal << 0 << int(C::Unknown)
                                     << false << "Cannot connect to radio.example" << false;
    QTest::newRow("dropped") << stream << failed << internal << 0 << int(C::Unknown) << true
                             << "Connection lost" << false;
    QTest::newRow("404, the server's words")
        << resource << int(GST_RESOURCE_ERROR_NOT_FOUND) << "File Not Found" << 404
        << int(C::Unknown) << false << "HTTP 404 Not Found" << false;
    QTest::newRow("unusual status")
        << resource << int(GST_RESOURCE_ERROR_READ) << "Bandwidth Exceeded" << 509
        << int(C::Unknown) << false << "HTTP 509 Bandwidth Exceeded" << false;
    QTest::newRow("local file") << resource << int(GST_RESOURCE_ERROR_NOT_FOUND)
                                << "Resource not found." << 0 << int(C::Unknown) << false
                                << "File not found" << true;
    QTest::newRow("garbage") << stream << int(GST_STREAM_ERROR_TYPE_NOT_FOUND)
                             << "Could not determine type of stream." << 0 << int(C::Unknown)
                             << false << "Not a stream" << false;
    QTest::newRow("other words kept, full stop dropped")
        << resource << int(GST_RESOURCE_ERROR_READ) << "Could not read." << 0 << int(C::Unknown)
        << true << "Could not read" << false;
}

void TestEngineRules::failuresInPlainWords() {
    QFETCH(quint32, domain);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(int, http);
    QFETCH(int, connect);
    QFETCH(bool, gotData);
    QFETCH(QString, text);
    QFETCH(bool, permanent);
    StreamError e;
    e.domain = domain;
    e.code = code;
    e.message = message;
    e.httpStatus = http;
    e.connect = StreamError::Connect(connect);
    e.gotData = gotData;
    e.host = QStringLiteral("radio.example");
    QCOMPARE(describe(e), text);
    QCOMPARE(isPermanent(e), permanent);
}

void TestEngineRules::retriesBackOffButNeverStop() {
    // At once, then 0.25 s, then 0.25 to 0.5 s for as long as it takes.
    QCOMPARE(RetrySchedule::delayMs(1, 0.9), 0);
    QCOMPARE(RetrySchedule::delayMs(2, 0.9), 250);
    QCOMPARE(RetrySchedule::delayMs(3, 0.0), 250);
    QCOMPARE(RetrySchedule::delayMs(100000, 0.999), 499);
    // Never more than four tries a second, however the failures come.
    RetrySchedule schedule;
    schedule.started();
    QVERIFY(schedule.nextDelayMs() > 200);
    QVERIFY(schedule.gapDelayMs() > 200);
    QCOMPARE(inSentence(QStringLiteral("Connection refused")),
             QStringLiteral("connection refused"));
    QCOMPARE(inSentence(QStringLiteral("HTTP 404 Not Found")),
             QStringLiteral("HTTP 404 Not Found"));
}

QTEST_GUILESS_MAIN(TestEngineRules)
#include "tst_enginerules.moc"
