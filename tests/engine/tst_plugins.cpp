// SPDX-License-Identifier: GPL-3.0-or-later
// Which plug-ins a playing engine has mapped into the process, format by format: the common
// radio formats must play without FFmpeg (gst-libav), and a codec only FFmpeg has must still
// play through it. Libraries stay mapped once loaded, so the rows run in order and the one that
// needs FFmpeg comes last.
#include <QtTest>

#include "engine/GstBackend.h"
#include "support/IcecastFixture.h"

using namespace orvane;
using orvane::test::IcecastFixture;

namespace {

// Playback starts ~0.4 s after the open on loopback; leave room for ASan and a busy machine.
constexpr int kStartMs = 10000;
// Every generated file lasts longer than a row plays.
constexpr int kToneSeconds = 6;

// Of the libraries mapped into this process, the decoder, FFmpeg's, the subtitle parser (of no
// use to an audio player, but its typefinder used to load it for every stream) and Theora's.
QStringList mapped(const QString& decoder) {
    static const QRegularExpression watched(QStringLiteral(
        "/(libgstlibav|libav(codec|format|filter)|libgstsubparse|libgsttheora)[^/]*$"));
    QFile maps(QStringLiteral("/proc/self/maps"));
    QStringList found;
    maps.open(QIODevice::ReadOnly);
    for (const QString& line : QString::fromUtf8(maps.readAll()).split(u'\n')) {
        const QString lib = line.mid(line.lastIndexOf(u'/') + 1);
        if ((watched.match(line).hasMatch() || lib == decoder + ".so") && !found.contains(lib)) {
            found.append(lib);
        }
    }
    return found;
}

}  // namespace

class TestPlugins : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        initGStreamer(nullptr, nullptr);
        QVERIFY2(m_ice.start(), qPrintable(m_ice.lastError()));
        // Nothing has played yet: whatever loaded FFmpeg, it was not start-up.
        QCOMPARE(mapped({}), QStringList());
    }
    void loadsOnlyTheNativeDecoder_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("decoder");
        const auto encode = [&](const char* name, const char* encoder) {
            return m_ice.encode(QLatin1String(name), QLatin1String(encoder), kToneSeconds);
        };
        // HLS: one MPEG-TS segment of AAC, listed whole (as a recording is).
        QVERIFY(!encode("tone.ts", "voaacenc ! aacparse ! mpegtsmux").isEmpty());
        QTest::newRow("MP3, live Icecast stream with ICY titles") << m_ice.url() << "libgstmpg123";
        QTest::newRow("MP3 file") << encode("tone.mp3", "lamemp3enc") << "libgstmpg123";
        QTest::newRow("AAC (ADTS)")
            << encode("tone.aac", "voaacenc ! aacparse ! audio/mpeg,stream-format=adts")
            << "libgstfaad";
        QTest::newRow("AAC in HLS") << m_ice.serve(QStringLiteral("tone.m3u8"),
                                                   "#EXTM3U\n#EXT-X-TARGETDURATION:7\n"
                                                   "#EXTINF:6.0,\ntone.ts\n#EXT-X-ENDLIST\n")
                                    << "libgstfaad";
        QTest::newRow("Ogg Opus") << encode("tone.opus", "audioresample ! opusenc ! oggmux")
                                  << "libgstopus";
        QTest::newRow("FLAC") << encode("tone.flac", "flacenc") << "libgstflac";
        // Ogg Vorbis, with Theora video beside it: pictures are never decoded, so no video sink is
        // tried for them (DirectFB's crashed the player on a machine without a display).
        QTest::newRow("Ogg Vorbis with Theora video")
            << encode("tone.ogv",
                      "vorbisenc ! oggmux name=mux videotestsrc num-buffers=90 ! "
                      "video/x-raw,width=64,height=48 ! theoraenc ! mux. mux.")
            << "libgstvorbis";
        // Windows Media Audio: only FFmpeg decodes it, so it must still be there to do so.
        QTest::newRow("WMA (FFmpeg only)")
            << encode("tone.wma", "avenc_wmav2 ! asfmux") << "libgstlibav";
    }
    void loadsOnlyTheNativeDecoder() {
        QFETCH(QString, url);
        QFETCH(QString, decoder);
        QVERIFY2(!url.isEmpty(), "could not make the stream");
        auto engine = createGstBackend();
        engine->setURL(url);
        engine->play();
        QTRY_VERIFY_WITH_TIMEOUT(
            engine->status() == QLatin1String("Playing") && engine->currentPosition() > 0.3,
            kStartMs);
        const QStringList libs = mapped(decoder);
        QVERIFY2(libs.contains(decoder + ".so"), qPrintable(libs.join(u' ')));
        // Nothing else: no subtitle parser, and FFmpeg only where it is the decoder.
        QVERIFY2(decoder == QLatin1String("libgstlibav") ? !libs.contains("libgstsubparse.so")
                                                         : libs.size() == 1,
                 qPrintable(libs.join(u' ')));
    }

  private:
    IcecastFixture m_ice;
};

QTEST_GUILESS_MAIN(TestPlugins)
#include "tst_plugins.moc"
