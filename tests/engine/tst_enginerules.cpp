// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's rules that need no stream: display names, failure texts, the retry schedule and how
// the sound's measurements become the display's bands.
// How real failures read (refused, 404, unknown host, not audio, missing file) is proven against
// a real server in test_gstbackend; the rows here are the ones a local server cannot stage.
#include <gst/gst.h>

#include <QtTest>

#include "engine/ByteRate.h"
#include "engine/LiveFeed.h"
#include "engine/MediaNames.h"
#include "engine/RetrySchedule.h"
#include "engine/SoundAnalysis.h"
#include "engine/StreamError.h"

using namespace orvane;

class TestEngineRules : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { gst_init(nullptr, nullptr); }

    void namesFromTitleThenStationThenListThenUrl() {
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
        const QString url = QStringLiteral("http://radio.example/jazz.mp3");
        const QString station = QStringLiteral("Station");
        QCOMPARE(displayName(QStringLiteral("  "), station, url), station);  // a blank title
        QCOMPARE(displayName({}, {}, QStringLiteral(" Listed "), url), QStringLiteral("Listed"));
        QCOMPARE(displayName({}, station, QStringLiteral("Listed"), url), station);
        QCOMPARE(displayName(QStringLiteral("Title"), station, {}), QString());  // no URL, no name
    }

    void failuresInPlainWords() {
        using C = StreamError::Connect;
        const quint32 stream = GST_STREAM_ERROR;
        const quint32 resource = GST_RESOURCE_ERROR;
        const int failed = GST_STREAM_ERROR_FAILED;
        const int read = GST_RESOURCE_ERROR_READ;
        const QString internal = QStringLiteral("Internal data stream error.");
        const QString host = QStringLiteral("radio.example");
        using P = CertificateProblem;
        // Domain, code, message, debug text, HTTP status, the connection's fate, host, data came,
        // what was wrong with the server's certificate.
        const std::pair<StreamError, const char*> rows[] = {
            {{stream, failed, internal, {}, 0, C::TimedOut, host, false}, "Timed out"},
            // A captive portal that intercepts HTTPS clears up once the user logs in: worth
            // trying again, as every other row here.
            {{stream, failed, internal, {}, 0, C::Untrusted, host, false, P::Expired},
             "The server's certificate is not trusted (expired)"},
            {{stream, failed, internal, {}, 0, C::Untrusted, host, false, P::UnknownIssuer},
             "The server's certificate is not trusted (unknown issuer)"},
            {StreamError::untrusted(P::Untrusted), "The server's certificate is not trusted"},
            // Before the engine has found out why the connection failed.
            {{stream, failed, internal, {}, 0, C::Unknown, host, false},
             "Cannot connect to radio.example"},
            {{stream, failed, internal, {}, 0, C::Unknown, host, true}, "Connection lost"},
            {{resource, read, "Bandwidth Exceeded", {}, 509, C::Unknown, host, false},
             "HTTP 509 Bandwidth Exceeded"},
            // Other words are kept, without the full stop.
            {{resource, read, "Could not read.", {}, 0, C::Unknown, host, true}, "Could not read"},
        };
        for (const auto& [error, text] : rows) {
            QCOMPARE(describe(error), QLatin1String(text));
            QVERIFY2(!isPermanent(error), text);
        }
    }

    // A pure tone lights the one band that holds its pitch, higher tones further right, at any
    // sample rate; silence and what lies above the shown range light nothing.
    void soundLevelsByPitch() {
        const int bins = 512;
        const auto tone = [&](double hz, int rate, float db) {
            std::vector<float> decibels(bins, -80.0f);
            const long bin = std::lround(hz / (rate / 2.0 / (bins - 1)));
            if (bin < bins) {
                decibels[std::size_t(bin)] = db;
            }
            return soundLevels(decibels.data(), bins, rate, 24);
        };
        const auto lit = [](const SoundLevels& l) {
            QList<int> bands;
            for (std::size_t i = 0; i < l.size(); ++i) {
                l[i] > 0.0f ? bands.append(int(i)) : void();
            }
            return bands;
        };
        QCOMPARE(lit(tone(0, 44100, -80.0f)), QList<int>());
        QCOMPARE(lit(tone(20000, 44100, -10.0f)), QList<int>());
        // The loudest band, and how many are lit: a low tone may light two neighbours whose
        // pitches share one of the analysis' bands.
        const auto peak = [&](double hz, int rate) {
            const SoundLevels l = tone(hz, rate, -25.0f);
            return std::pair(int(std::max_element(l.begin(), l.end()) - l.begin()), lit(l).size());
        };
        int previous = -1;
        for (const double hz : {250.0, 440.0, 1000.0, 4000.0, 12000.0}) {
            const auto [at44, lit44] = peak(hz, 44100);
            const auto [at96, lit96] = peak(hz, 96000);
            const QString row = QString::number(hz);
            QVERIFY2(lit44 >= 1 && lit44 <= 2 && lit96 >= 1 && lit96 <= 2, qPrintable(row));
            // The analysis' bands are coarser at 96 kHz: the tone may round into a neighbour.
            QVERIFY2(std::abs(at44 - at96) <= 1, qPrintable(row));
            QVERIFY2(at44 > previous, qPrintable(row));
            previous = at44;
        }
        // On the display's scale: the floor is silence, the top is a band near full scale.
        const auto loudest = [](const SoundLevels& l) {
            return *std::max_element(l.begin(), l.end());
        };
        QCOMPARE(loudest(tone(440, 44100, -25.0f)), 0.75f);
        QCOMPARE(loudest(tone(440, 44100, 0.0f)), 1.0f);
    }

    // The analysis itself, on a generated tone: whatever the sample format, channels and rate, a
    // 1 kHz tone at half scale lights the same band, well up the scale, fifteen times a second of
    // the sound, each measurement stamped with the running time it covers. Switched off, it posts
    // nothing.
    void analysisMeasuresEveryFormatAlike() {
        struct Row {
            const char* format;
            int channels;
            int rate;
            bool active;
        };
        const Row rows[] = {{"S16LE", 2, 44100, true},
                            {"S32LE", 1, 48000, true},
                            {"F32LE", 2, 22050, true},
                            {"S16LE", 2, 44100, false}};
        int band = -1;
        for (const Row& row : rows) {
            const QString name = QStringLiteral("%1/%2/%3/%4")
                                     .arg(QLatin1String(row.format))
                                     .arg(row.channels)
                                     .arg(row.rate)
                                     .arg(row.active);
            SoundAnalysis analysis = createSoundAnalysis();
            QVERIFY(analysis.filter);
            analysis.active->store(row.active);
            // Two seconds of sound, as fast as the machine goes, through the analysis as
            // playbin puts it: between the decoder and the output.
            GstElement* pipeline = gst_pipeline_new(nullptr);
            GstElement* tone = gst_element_factory_make("audiotestsrc", nullptr);
            GstElement* format = gst_element_factory_make("capsfilter", nullptr);
            GstElement* sink = gst_element_factory_make("fakesink", nullptr);
            QVERIFY(tone && format && sink);
            g_object_set(tone, "freq", 1000.0, "volume", 0.5, "samplesperbuffer", 1000,
                         "num-buffers", 2 * row.rate / 1000, nullptr);
            GstCaps* caps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, row.format,
                                                "channels", G_TYPE_INT, row.channels, "rate",
                                                G_TYPE_INT, row.rate, nullptr);
            g_object_set(format, "caps", caps, nullptr);
            gst_caps_unref(caps);
            g_object_set(sink, "sync", FALSE, nullptr);
            gst_bin_add_many(GST_BIN(pipeline), tone, format, analysis.filter, sink, nullptr);
            QVERIFY(gst_element_link_many(tone, format, analysis.filter, sink, nullptr));

            gst_element_set_state(pipeline, GST_STATE_PLAYING);
            GstBus* bus = gst_element_get_bus(pipeline);
            QList<SoundLevels> measured;
            QList<GstClockTime> times;
            bool ended = false;
            while (!ended) {
                GstMessage* msg = gst_bus_timed_pop_filtered(
                    bus, 10 * GST_SECOND,
                    GstMessageType(GST_MESSAGE_ELEMENT | GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
                QVERIFY2(msg, qPrintable(name));
                ended = GST_MESSAGE_TYPE(msg) != GST_MESSAGE_ELEMENT;
                QVERIFY2(GST_MESSAGE_TYPE(msg) != GST_MESSAGE_ERROR, qPrintable(name));
                if (isSoundAnalysis(msg)) {
                    measured.append(soundLevels(msg));
                    GstClockTime at = GST_CLOCK_TIME_NONE;
                    gst_structure_get_clock_time(gst_message_get_structure(msg), "running-time",
                                                 &at);
                    times.append(at);
                }
                gst_message_unref(msg);
            }
            gst_object_unref(bus);
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);

            if (!row.active) {
                QVERIFY2(measured.isEmpty(), qPrintable(name));
                continue;
            }
            QVERIFY2(measured.size() >= 29 && measured.size() <= 30, qPrintable(name));
            for (qsizetype i = 0; i < measured.size(); ++i) {
                const SoundLevels& l = measured[i];
                QCOMPARE(int(l.size()), 24);
                const int loudest = int(std::max_element(l.begin(), l.end()) - l.begin());
                band = band < 0 ? loudest : band;
                QVERIFY2(loudest == band, qPrintable(name));
                QVERIFY2(l[std::size_t(loudest)] > 0.8f && l[std::size_t(loudest)] < 1.0f,
                         qPrintable(name + QString::number(l[std::size_t(loudest)])));
                if (i > 0) {
                    const double step = double(times[i] - times[i - 1]) / GST_SECOND;
                    QVERIFY2(std::abs(step - 1.0 / 15) < 0.001, qPrintable(name));
                }
            }
        }
    }

    // The stream's byte rate, from what the player takes while it plays. The network's data
    // comes in batches, and between them the player waits for more: that is steady play, and
    // the rate must come out of it. Running dry for longer, holding, or starting over is not.
    void byteRateMeasuredAcrossNetworkBatches() {
        // Looks every 0.25 s at a 16,000 byte/s stream; the player waits `dryMs` for data at
        // every other look.
        struct Player {
            ByteRate rate;
            double position = 0;
            int looks = 0;
            double play(int count, qint64 dryMs) {
                for (int i = 0; i < count; ++i, ++looks, position += 0.25) {
                    rate.look(true, position, 4000, looks % 2 ? dryMs : -1);
                }
                return rate.bytesPerSecond();
            }
        };
        Player batches;
        QCOMPARE(batches.play(20, 300), 0.0);  // the queues fill, then five seconds are measured
        QCOMPARE(batches.play(20, 300), 16000.0);
        // Dry for two seconds at a time: what it took tells nothing.
        Player dry;
        QCOMPARE(dry.play(200, 2000), 0.0);
        // A position that went back (a new stream) or a player that stopped is a new start: the
        // bytes taken in between do not count.
        Player again;
        again.play(40, -1);
        again.rate.look(true, 0.0, 400000, -1);
        again.rate.look(false, 0.0, 400000, -1);
        QCOMPARE(again.rate.bytesPerSecond(), 16000.0);
    }

    // The decoder empties its queue between two network reads and asks for more: many short
    // waits a second, which end on their own and must not wake the engine. A player that holds
    // for data is told once, when as much as it asked for has come; and each wait has its own
    // number, so that a look in one wait is never taken for a look in the next.
    void feedTellsOnlyAHoldThatDataCame() {
        QObject context;
        QList<FeedNote::Kind> notes;
        const auto feed = std::make_shared<LiveFeed>(
            &context, [&notes](const FeedNote& note) { notes.append(note.kind); });
        GstElement* pipeline =
            gst_parse_launch("appsrc name=src format=bytes ! fakesink sync=false", nullptr);
        GstElement* appsrc = gst_bin_get_by_name(GST_BIN(pipeline), "src");
        feed->attach(appsrc);
        QVERIFY(gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE);
        GstCaps* caps = gst_caps_from_string("audio/mpeg, mpegversion=(int)1");
        feed->open(1, caps);
        const auto count = [&notes](FeedNote::Kind kind) {
            QCoreApplication::processEvents();
            return notes.count(kind);
        };

        QByteArray bytes(4096, '\0');
        quint64 lastRun = 0;
        for (int read = 0; read < 4; ++read) {
            for (auto& byte : bytes) {
                byte = char(read * 37 + (&byte - bytes.data()) * 11);  // no repeats to match
            }
            feed->push(1, reinterpret_cast<const guint8*>(bytes.constData()), gsize(bytes.size()));
            QTRY_VERIFY(feed->dryRun() > lastRun);  // taken, and waiting again
            lastRun = feed->dryRun();
        }
        QVERIFY(count(FeedNote::Kind::Starving) >= 1);
        QCOMPARE(count(FeedNote::Kind::Refilled), 0);

        // While the player holds plenty, its waits go untold and the connections read less often.
        const int told = count(FeedNote::Kind::Starving);
        const gulong pause = feed->readPauseUs();
        feed->setWellFed(true);
        QVERIFY(feed->readPauseUs() > pause);
        feed->push(1, reinterpret_cast<const guint8*>(bytes.constData()), gsize(bytes.size()));
        QTRY_VERIFY(feed->dryRun() > lastRun);
        QCOMPARE(count(FeedNote::Kind::Starving), told);
        feed->setWellFed(false);
        QCOMPARE(feed->readPauseUs(), pause);

        // The player holds and asks for 6,000 bytes: 4,096 are not enough, 8,192 are.
        feed->awaitRefill(6000);
        feed->push(1, reinterpret_cast<const guint8*>(bytes.constData()), 2048);
        QCOMPARE(count(FeedNote::Kind::Refilled), 0);
        feed->push(1, reinterpret_cast<const guint8*>(bytes.constData()) + 2048, 2048);
        feed->push(1, reinterpret_cast<const guint8*>(bytes.constData()), 4096);
        QTRY_COMPARE(count(FeedNote::Kind::Refilled), 1);

        feed->detach();
        gst_element_set_state(pipeline, GST_STATE_NULL);
        feed->release(appsrc);
        gst_caps_unref(caps);
        gst_object_unref(appsrc);
        gst_object_unref(pipeline);
    }

    void retriesBackOffButNeverStop() {
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
        // A long outage logs its first tries, then about one a minute, also across the
        // watchdog's restarts (every 8 s while nothing plays); audio that plays ends the streak.
        QList<int> logged;
        for (int tries = 2; tries <= 480; ++tries) {
            tries % 29 == 0 ? schedule.restart() : void(schedule.nextDelayMs());
            schedule.started();
            schedule.logged() ? logged.append(tries) : void();
        }
        QCOMPARE(logged, QList<int>({2, 3, 4, 5, 6, 7, 8, 240, 480}));
        QVERIFY(schedule.failures() < 29);
        schedule.reset();
        schedule.started();
        QVERIFY(schedule.logged());
    }
};

QTEST_GUILESS_MAIN(TestEngineRules)
#include "tst_enginerules.moc"
