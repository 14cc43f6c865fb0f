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
constexpr int kEncodeMs = 20000;  // gst-launch-1.0 making a six-second file
// Every generated file lasts this long (44100 Hz in 1024-sample buffers), more than a row plays.
constexpr int kToneBuffers = 6 * 44100 / 1024;

// The shared objects mapped into this process, by file name.
QSet<QString> mappedLibraries() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    QSet<QString> libraries;
    if (maps.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : maps.readAll().split('\n')) {
            if (line.contains(".so")) {
                libraries.insert(QString::fromUtf8(line.mid(line.lastIndexOf('/') + 1)));
            }
        }
    }
    return libraries;
}

QStringList ffmpegIn(const QSet<QString>& libraries) {
    static const QRegularExpression ffmpeg(
        QStringLiteral("^(libgstlibav|libav(codec|format|filter))"));
    QStringList found;
    for (const QString& lib : libraries) {
        if (ffmpeg.match(lib).hasMatch()) {
            found.append(lib);
        }
    }
    return found;
}

}  // namespace

class TestPlugins : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void loadsOnlyTheNativeDecoder_data();
    void loadsOnlyTheNativeDecoder();

  private:
    // A tone file in the server's webroot, through ENCODER; its URL, "" on failure.
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
    QProcess gst;
    // Readable by the server, which runs as another user.
    gst.setChildProcessModifier([] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::umask(022);
    });
    gst.start(QStringLiteral("gst-launch-1.0"),
              QProcess::splitCommand(QStringLiteral("-q audiotestsrc num-buffers=%1 volume=0.2 ! "
                                                    "audioconvert ! %2 ! filesink location=%3")
                                         .arg(kToneBuffers)
                                         .arg(encoder, path)));
    const bool ok = gst.waitForFinished(kEncodeMs) && gst.exitCode() == 0;
    return ok ? m_ice.urlFor(u'/' + fileName) : QString();
}

void TestPlugins::loadsOnlyTheNativeDecoder_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("decoderPlugin");
    QTest::addColumn<bool>("needsFfmpeg");

    // HLS: one MPEG-TS segment of AAC, listed whole (as a recording is).
    QVERIFY(!encode(QStringLiteral("tone.ts"), QStringLiteral("voaacenc ! aacparse ! mpegtsmux"))
                 .isEmpty());
    QFile playlist(m_ice.webroot() + QStringLiteral("/tone.m3u8"));
    QVERIFY(playlist.open(QIODevice::WriteOnly) &&
            playlist.write("#EXTM3U\n#EXT-X-TARGETDURATION:7\n#EXTINF:6.0,\ntone.ts\n"
                           "#EXT-X-ENDLIST\n") > 0);
    playlist.close();
    QVERIFY(playlist.setPermissions(playlist.permissions() | QFile::ReadOther));

    QTest::newRow("MP3, live Icecast stream with ICY titles")
        << m_ice.url() << "libgstmpg123" << false;
    QTest::newRow("MP3 file over HTTP")
        << m_ice.writeToneFile(QStringLiteral("tone.mp3"), 6) << "libgstmpg123" << false;
    QTest::newRow("AAC (ADTS) over HTTP")
        << encode(QStringLiteral("tone.aac"),
                  QStringLiteral("voaacenc ! aacparse ! audio/mpeg,stream-format=adts"))
        << "libgstfaad" << false;
    QTest::newRow("AAC in HLS") << m_ice.urlFor(QStringLiteral("/tone.m3u8")) << "libgstfaad"
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
    const QSet<QString> libraries = mappedLibraries();
    engine->stop();

    QVERIFY2(libraries.contains(decoderPlugin + QLatin1String(".so")),
             qPrintable(decoderPlugin + " is not loaded"));
    // Subtitles in an audio-only player: its typefinder used to load it for every stream.
    QVERIFY(!libraries.contains(QStringLiteral("libgstsubparse.so")));
    const QStringList ffmpeg = ffmpegIn(libraries);
    QVERIFY2(ffmpeg.isEmpty() != needsFfmpeg, qPrintable(ffmpeg.join(u' ')));
}

QTEST_GUILESS_MAIN(TestPlugins)
#include "tst_plugins.moc"
