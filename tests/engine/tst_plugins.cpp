// SPDX-License-Identifier: GPL-3.0-or-later
// Which plug-ins a playing engine has mapped into the process, format by format: the common
// radio formats must play without FFmpeg (gst-libav), and a codec only FFmpeg has must still
// play through it. Libraries stay mapped once loaded, so the rows run in order and the one that
// needs FFmpeg comes last.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <QtTest>

#include "engine/GstBackend.h"
#include "support/IcecastFixture.h"

using namespace orvane;
using orvane::test::IcecastFixture;

namespace {

// Playback starts ~0.4 s after the open on loopback; leave room for ASan and a busy machine.
constexpr int kStartMs = 10000;
constexpr int kEncodeMs = 20000;
// Every generated file lasts this long (44100 Hz in 1024-sample buffers), more than a row plays.
constexpr int kToneBuffers = 6 * 44100 / 1024;

const QStringList kFfmpegLibraries = {QStringLiteral("libgstlibav"), QStringLiteral("libavcodec"),
                                      QStringLiteral("libavformat"), QStringLiteral("libavfilter")};

QStringList mappedLibraries() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList libraries;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const qsizetype slash = line.lastIndexOf('/');
        if (slash >= 0 && line.contains(".so")) {
            const QString name = QString::fromUtf8(line.mid(slash + 1));
            if (!libraries.contains(name)) {
                libraries.append(name);
            }
        }
    }
    return libraries;
}

QStringList ffmpegIn(const QStringList& libraries) {
    QStringList found;
    for (const QString& lib : libraries) {
        for (const QString& ffmpeg : kFfmpegLibraries) {
            if (lib.startsWith(ffmpeg)) {
                found.append(lib);
            }
        }
    }
    return found;
}

// Runs a gst-launch-1.0 pipeline to its end; files it writes are readable by a server that runs
// as another user.
bool runPipeline(const QString& pipeline, QByteArray* output) {
    QProcess gst;
    gst.setProcessChannelMode(QProcess::MergedChannels);
    gst.setChildProcessModifier([] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::umask(022);
    });
    gst.start(QStringLiteral("gst-launch-1.0"),
              QStringList{QStringLiteral("-q")} + QProcess::splitCommand(pipeline));
    const bool ok = gst.waitForFinished(kEncodeMs) && gst.exitCode() == 0;
    *output = gst.readAll();
    return ok;
}

}  // namespace

class TestPlugins : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void loadsOnlyTheNativeDecoder_data();
    void loadsOnlyTheNativeDecoder();

  private:
    QString encode(const QString& fileName, const QString& encoder);

    IcecastFixture m_ice;
};

void TestPlugins::initTestCase() {
    initGStreamer(nullptr, nullptr);
    QVERIFY2(m_ice.start(), qPrintable(m_ice.lastError()));
    // Nothing has played yet: whatever loaded FFmpeg, it was not start-up.
    QCOMPARE(ffmpegIn(mappedLibraries()), QStringList());
}

QString TestPlugins::encode(const QString& fileName, const QString& encoder) {
    const QString path = m_ice.webroot() + u'/' + fileName;
    QByteArray output;
    const bool ok = runPipeline(
        QStringLiteral("audiotestsrc num-buffers=%1 volume=0.2 ! audioconvert ! %2 ! filesink "
                       "location=%3")
            .arg(kToneBuffers)
            .arg(encoder, path),
        &output);
    return ok ? m_ice.urlFor(u'/' + fileName) : QString();
}

void TestPlugins::loadsOnlyTheNativeDecoder_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("decoderPlugin");
    QTest::addColumn<bool>("needsFfmpeg");

    // HLS: AAC in an MPEG-TS segment, listed whole (as a recording is).
    const QString hls = m_ice.webroot() + QStringLiteral("/hls");
    QVERIFY(QDir().mkpath(hls));
    QFile::setPermissions(hls, QFile::permissions(hls) | QFile::ReadOther | QFile::ExeOther);
    QVERIFY(
        !encode(QStringLiteral("hls/tone.ts"), QStringLiteral("voaacenc ! aacparse ! mpegtsmux"))
             .isEmpty());
    QFile playlist(hls + QStringLiteral("/index.m3u8"));
    QVERIFY(playlist.open(QIODevice::WriteOnly));
    playlist.write(
        "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:7\n#EXT-X-MEDIA-SEQUENCE:0\n"
        "#EXTINF:6.0,\ntone.ts\n#EXT-X-ENDLIST\n");
    playlist.close();
    QFile::setPermissions(playlist.fileName(), playlist.permissions() | QFile::ReadOther);

    QTest::newRow("MP3, live Icecast stream with ICY titles")
        << m_ice.url() << "libgstmpg123" << false;
    QTest::newRow("MP3 file over HTTP")
        << m_ice.writeToneFile(QStringLiteral("tone.mp3"), 6) << "libgstmpg123" << false;
    QTest::newRow("AAC (ADTS) over HTTP")
        << encode(QStringLiteral("tone.aac"),
                  QStringLiteral("voaacenc ! aacparse ! audio/mpeg,stream-format=adts"))
        << "libgstfaad" << false;
    QTest::newRow("AAC in HLS") << m_ice.urlFor(QStringLiteral("/hls/index.m3u8")) << "libgstfaad"
                                << false;
    QTest::newRow("Ogg Vorbis over HTTP")
        << encode(QStringLiteral("tone.ogg"), QStringLiteral("vorbisenc ! oggmux"))
        << "libgstvorbis" << false;
    QTest::newRow("Ogg Opus over HTTP")
        << encode(QStringLiteral("tone.opus"), QStringLiteral("audioresample ! opusenc ! oggmux"))
        << "libgstopus" << false;
    QTest::newRow("FLAC over HTTP")
        << encode(QStringLiteral("tone.flac"), QStringLiteral("flacenc")) << "libgstflac" << false;
    // Windows Media Audio: only FFmpeg decodes it, so it must still be there to do so.
    QTest::newRow("WMA over HTTP (FFmpeg only)")
        << encode(QStringLiteral("tone.wma"), QStringLiteral("avenc_wmav2 ! asfmux"))
        << "libgstlibav" << true;
}

void TestPlugins::loadsOnlyTheNativeDecoder() {
    QFETCH(QString, url);
    QFETCH(QString, decoderPlugin);
    QFETCH(bool, needsFfmpeg);
    QVERIFY2(!url.isEmpty(), "could not make the stream");

    auto engine = createGstBackend();
    engine->setURL(url);
    engine->play();
    QTRY_VERIFY_WITH_TIMEOUT(
        engine->status() == QLatin1String("Playing") && engine->currentPosition() > 0.3, kStartMs);
    const QStringList libraries = mappedLibraries();
    engine->stop();

    const auto decoder = std::find_if(libraries.begin(), libraries.end(), [&](const QString& lib) {
        return lib.startsWith(decoderPlugin + QLatin1String(".so"));
    });
    QVERIFY2(decoder != libraries.end(), qPrintable(decoderPlugin + " is not loaded"));
    // Subtitles in an audio-only player: its typefinder used to load it for every stream.
    QVERIFY(!libraries.contains(QStringLiteral("libgstsubparse.so")));
    const QStringList ffmpeg = ffmpegIn(libraries);
    if (needsFfmpeg) {
        QVERIFY(!ffmpeg.isEmpty());
    } else {
        QVERIFY2(ffmpeg.isEmpty(), qPrintable(ffmpeg.join(u' ')));
    }
}

QTEST_GUILESS_MAIN(TestPlugins)
#include "tst_plugins.moc"
