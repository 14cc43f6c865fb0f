// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's rules that need no stream: display names, failure texts and the retry schedule.
// How real failures read (refused, 404, unknown host, not audio, missing file) is proven against
// a real server in test_gstbackend; the rows here are the ones a local server cannot stage.
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
    void namesFromUrls();
    void nameFromTitleThenStationThenListThenUrl();
    void failuresInPlainWords();
    void retriesBackOffButNeverStop();
};

void TestEngineRules::namesFromUrls() {
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
        QCOMPARE(nameFromUrl(QLatin1String(url)), QLatin1String(name));
        QCOMPARE(displayName({}, {}, QLatin1String(url)), QLatin1String(name));
    }
}

void TestEngineRules::nameFromTitleThenStationThenListThenUrl() {
    const QString url = QStringLiteral("http://radio.example/jazz.mp3");
    const QString station = QStringLiteral("Station");
    QCOMPARE(displayName(QStringLiteral("  "), station, url), station);  // a blank title
    QCOMPARE(displayName({}, {}, QStringLiteral(" Listed "), url), QStringLiteral("Listed"));
    QCOMPARE(displayName({}, station, QStringLiteral("Listed"), url), station);
    QCOMPARE(displayName(QStringLiteral("Title"), station, {}), QString());  // no URL, no name
}

void TestEngineRules::failuresInPlainWords() {
    using C = StreamError::Connect;
    struct Row {
        quint32 domain;
        int code;
        const char* message;
        int http;
        C connect;
        bool gotData;
        const char* text;
    };
    const quint32 stream = GST_STREAM_ERROR;
    const quint32 resource = GST_RESOURCE_ERROR;
    const char* internal = "Internal data stream error.";
    const Row rows[] = {
        {stream, GST_STREAM_ERROR_FAILED, internal, 0, C::TimedOut, false, "Timed out"},
        // Before the engine has found out why the connection failed.
        {stream, GST_STREAM_ERROR_FAILED, internal, 0, C::Unknown, false,
         "Cannot connect to radio.example"},
        {stream, GST_STREAM_ERROR_FAILED, internal, 0, C::Unknown, true, "Connection lost"},
        {resource, GST_RESOURCE_ERROR_READ, "Bandwidth Exceeded", 509, C::Unknown, false,
         "HTTP 509 Bandwidth Exceeded"},
        // Other words are kept, without the full stop.
        {resource, GST_RESOURCE_ERROR_READ, "Could not read.", 0, C::Unknown, true,
         "Could not read"},
    };
    for (const Row& row : rows) {
        StreamError e;
        e.domain = row.domain;
        e.code = row.code;
        e.message = QLatin1String(row.message);
        e.httpStatus = row.http;
        e.connect = row.connect;
        e.gotData = row.gotData;
        e.host = QStringLiteral("radio.example");
        QCOMPARE(describe(e), QLatin1String(row.text));
        QVERIFY2(!isPermanent(e), row.text);
    }
}

void TestEngineRules::retriesBackOffButNeverStop() {
    // At once, then 0.25 s, then 0.25 to 0.3 s for as long as it takes.
    QCOMPARE(RetrySchedule::delayMs(1, 0.9), 0);
    QCOMPARE(RetrySchedule::delayMs(2, 0.9), 250);
    QCOMPARE(RetrySchedule::delayMs(3, 0.0), 250);
    QCOMPARE(RetrySchedule::delayMs(100000, 0.999), 299);
    // Never more than four tries a second, however the failures come.
    RetrySchedule schedule;
    schedule.started();
    QVERIFY(schedule.nextDelayMs() > 200);
    QVERIFY(schedule.gapDelayMs() > 200);
    // A long outage logs its first tries, then about one a minute.
    QList<int> logged;
    while (schedule.failures() < 480) {
        schedule.nextDelayMs();
        schedule.logged() ? logged.append(schedule.failures()) : void();
    }
    QCOMPARE(logged, QList<int>({2, 3, 4, 5, 6, 7, 240, 480}));
}

QTEST_GUILESS_MAIN(TestEngineRules)
#include "tst_enginerules.moc"
