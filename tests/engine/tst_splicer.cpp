// SPDX-License-Identifier: GPL-3.0-or-later
// The splicer on synthetic streams: every byte of a programme can be told apart, so the bytes
// handed to the decoder show exactly what would be heard twice or skipped.
#include <QtTest>

#include "engine/Splicer.h"

using namespace orvane;
using Outcome = Splicer::Outcome;

namespace {

constexpr std::int64_t kBurst = 64 * 1024;  // Icecast's burst on connect
constexpr double kRate = 16000;             // 128 kbit/s

// Byte `position` of programme `seed`: no run of it repeats.
std::uint8_t programme(int seed, std::int64_t position) {
    std::uint64_t x = std::uint64_t(position) * 0x9E3779B97F4A7C15ull +
                      std::uint64_t(seed) * 0xBF58476D1CE4E5B9ull;
    x ^= x >> 31;
    x *= 0x94D049BB133111EBull;
    return std::uint8_t(x >> 40);
}

struct Rig {
    Splicer splicer;
    std::int64_t now = 0;
    std::vector<std::uint8_t> heard;
    std::vector<Splicer::Piece> pieces;

    // Connection `feed` delivers bytes [from, to) of programme `seed`, `chunk` at a time.
    void send(int feed, int seed, std::int64_t from, std::int64_t to, std::size_t chunk = 4096) {
        std::vector<std::uint8_t> bytes(chunk);
        for (std::int64_t p = from; p < to; p += std::int64_t(chunk)) {
            const std::size_t n = std::size_t(std::min<std::int64_t>(std::int64_t(chunk), to - p));
            for (std::size_t i = 0; i < n; ++i) {
                bytes[i] = programme(seed, p + std::int64_t(i));
            }
            splicer.push(feed, bytes.data(), n, now);
        }
    }
    // The decoder takes up to `max` bytes.
    std::size_t take(std::size_t max = SIZE_MAX) {
        std::uint8_t buffer[4096];
        std::size_t taken = 0;
        while (taken < max) {
            const Splicer::Piece piece = splicer.pull(buffer, std::min(sizeof buffer, max - taken));
            if (piece.size == 0) {
                break;
            }
            heard.insert(heard.end(), buffer, buffer + piece.size);
            pieces.push_back(piece);
            taken += piece.size;
        }
        return taken;
    }
    // What was heard from `at` on is exactly programme `seed` [from, to).
    bool heardExactly(std::size_t at, int seed, std::int64_t from, std::int64_t to) const {
        if (heard.size() < at + std::size_t(to - from)) {
            return false;
        }
        for (std::int64_t p = from; p < to; ++p) {
            if (heard[at + std::size_t(p - from)] != programme(seed, p)) {
                return false;
            }
        }
        return true;
    }
    std::vector<Outcome> outcomes() {
        std::vector<Outcome> found;
        for (const auto& r : splicer.takeResolutions()) {
            found.push_back(r.outcome);
        }
        return found;
    }
};

}  // namespace

class TestSplicer : public QObject {
    Q_OBJECT

  private slots:
    void newConnectionContinuesWhereTheOldOneEnds_data() {
        QTest::addColumn<qint64>("end");         // where the old connection stopped
        QTest::addColumn<qint64>("start");       // where the new one's burst begins
        QTest::addColumn<int>("chunk");          // how the new bytes arrive
        QTest::addColumn<qint64>("takenFirst");  // how much the decoder had taken by then
        // The old connection froze; the new one's burst reaches back beyond its end.
        QTest::newRow("burst overlaps the end")
            << qint64(300000) << qint64(300000 - 50000) << 4096 << qint64(250000);
        QTest::newRow("in small pieces, across every boundary")
            << qint64(300000) << qint64(300000 - 50000) << 97 << qint64(250000);
        // The burst begins a few bytes before the end; a match straddles the two.
        QTest::newRow("overlap of barely the match")
            << qint64(300000) << qint64(300000 - 1500) << 700 << qint64(299000);
        // The encoder paused: the burst holds nothing new, and ends where the old one did.
        QTest::newRow("burst is all old")
            << qint64(300000) << qint64(300000 - kBurst) << 4096 << qint64(300000);
        // Everything queued was played long ago: the match lies among bytes already heard.
        QTest::newRow("match among played bytes")
            << qint64(300000) << qint64(300000 - 200000) << 8192 << qint64(300000);
    }
    void newConnectionContinuesWhereTheOldOneEnds() {
        QFETCH(qint64, end);
        QFETCH(qint64, start);
        QFETCH(int, chunk);
        QFETCH(qint64, takenFirst);
        Rig rig;
        rig.splicer.open(1);
        rig.send(1, 7, 0, end);
        rig.take(std::size_t(takenFirst));
        rig.now += 3000;
        rig.splicer.open(2);
        rig.send(2, 7, start, end + 40000, std::size_t(chunk));
        rig.take();
        // Every byte once, in order: nothing twice, nothing missing.
        QCOMPARE(qint64(rig.heard.size()), end + 40000);
        QVERIFY(rig.heardExactly(0, 7, 0, end + 40000));
        QCOMPARE(rig.outcomes(), std::vector<Outcome>({Outcome::NewStream, Outcome::Continues}));
        QVERIFY(std::none_of(rig.pieces.begin() + 1, rig.pieces.end(),
                             [](const auto& p) { return p.discont; }));
    }

    void sameBurstAgainIsNeverQueuedTwice() {
        // A server that stalls after its burst: every new connection brings the same burst.
        Rig rig;
        rig.splicer.open(1);
        rig.send(1, 3, 0, 200000);
        for (int feed = 2; feed <= 4; ++feed) {
            rig.splicer.open(feed);
            rig.send(feed, 3, 200000 - kBurst, 200000);
            rig.splicer.close(feed - 1);
            QCOMPARE(rig.splicer.queuedBytes(), std::size_t(200000));
        }
        rig.send(4, 3, 200000, 210000);  // the server wakes up
        rig.take();
        QCOMPARE(rig.heard.size(), std::size_t(210000));
        QVERIFY(rig.heardExactly(0, 3, 0, 210000));
    }

    void oldConnectionsBacklogMeetsTheNewOne() {
        // The server stalled and comes back: the old connection sends its backlog from where it
        // stopped, while a new one started near live, beyond it. Nothing of the backlog is
        // skipped, and the new connection takes over once the backlog reaches its start.
        Rig rig;
        rig.splicer.open(1);
        rig.send(1, 5, 0, 100000);
        rig.take();
        rig.now += 10000;
        rig.splicer.open(2);
        rig.send(2, 5, 220000 - kBurst, 220000);  // near live
        QCOMPARE(rig.outcomes(), std::vector<Outcome>({Outcome::NewStream}));
        rig.send(1, 5, 100000, 170000);  // the backlog, faster than real time
        rig.now += 100;
        rig.send(2, 5, 220000, 230000);
        rig.send(1, 5, 170000, 225000);
        rig.splicer.poll(rig.now, kRate, 0);
        rig.take();
        QCOMPARE(rig.outcomes(), std::vector<Outcome>({Outcome::Continues}));
        QCOMPARE(rig.heard.size(), std::size_t(230000));
        QVERIFY(rig.heardExactly(0, 5, 0, 230000));
    }

    void unrelatedBytesStartANewStream() {
        // The encoder restarted: the new connection's bytes meet nothing queued. While the old
        // connection is open it gets a moment to speak up; then the new stream follows what is
        // queued, and the decoder is told where it begins.
        Rig rig;
        rig.splicer.open(1);
        rig.send(1, 1, 0, 50000);
        rig.take(20000);
        rig.now += 5000;
        rig.splicer.open(2);
        rig.send(2, 2, 0, 30000);
        rig.splicer.poll(rig.now + Splicer::kGraceMs - 1, kRate, 0);
        QCOMPARE(rig.splicer.queuedBytes(), std::size_t(30000));
        rig.splicer.poll(rig.now + Splicer::kGraceMs, kRate, 0);
        QCOMPARE(rig.splicer.queuedBytes(), std::size_t(60000));
        rig.take();
        QVERIFY(rig.heardExactly(0, 1, 0, 50000));
        QVERIFY(rig.heardExactly(50000, 2, 0, 30000));
        const auto boundary = std::find_if(rig.pieces.begin(), rig.pieces.end(),
                                           [](const auto& p) { return p.stream == 2; });
        QVERIFY(boundary != rig.pieces.end() && boundary->discont);
        // While the stream's own connection keeps delivering, a stranger is turned away.
        rig.outcomes();
        rig.splicer.open(3);
        for (std::int64_t p = 0; p <= std::int64_t(Splicer::kMaxPendingBytes); p += 4096) {
            rig.now += 100;
            rig.send(2, 2, 30000 + p, 30000 + p + 4096);
            rig.send(3, 9, p, p + 4096);
        }
        QCOMPARE(rig.outcomes(), std::vector<Outcome>({Outcome::Rejected}));
    }

    void newDecoderGoesOnFromWhereTheSoundStood() {
        // A decoder that took bytes it never played is replaced: the new one gets those bytes
        // again, from the place asked for, with the break marked for its parser.
        Rig rig;
        rig.splicer.open(1);
        rig.send(1, 6, 0, 300000);
        rig.take(250000);
        QVERIFY(rig.splicer.rewind(240000));
        rig.pieces.clear();
        rig.take();
        QVERIFY(rig.heardExactly(250000, 6, 240000, 300000));
        QVERIFY(rig.pieces.front().discont);
        // Not beyond what was taken, nor back before the bytes still held: those were let go
        // long ago and the place would hold other bytes.
        QVERIFY(!rig.splicer.rewind(300001));
        QVERIFY(!rig.splicer.rewind(100000));
        // Nor back across the start of a stream: its bytes would be taken for the old one's.
        rig.now += 5000;
        rig.splicer.open(2);
        rig.send(2, 8, 0, 20000);
        rig.splicer.close(1);
        rig.splicer.poll(rig.now + Splicer::kGraceMs, kRate, 0);
        rig.take();
        QCOMPARE(rig.outcomes(), std::vector<Outcome>({Outcome::NewStream, Outcome::NewStream}));
        QVERIFY(!rig.splicer.rewind(299000));
        QVERIFY(rig.splicer.rewind(310000));
        QCOMPARE(rig.splicer.nextStream(), 2);
    }

    void fallsBehindOnlyWithinTheBoundThenJumpsOnce_data() {
        QTest::addColumn<int>("stallSeconds");
        QTest::addColumn<bool>("jumps");
        QTest::newRow("10 s stall: played through") << 10 << false;
        QTest::newRow("30 s stall: one jump back to near live") << 30 << true;
    }
    void fallsBehindOnlyWithinTheBoundThenJumpsOnce() {
        QFETCH(int, stallSeconds);
        QFETCH(bool, jumps);
        Rig rig;
        std::int64_t sent = 0;
        const auto tick = [&](bool serverSends) {  // a quarter of a second of real time
            rig.now += 250;
            if (serverSends) {
                rig.send(1, 4, sent, sent + std::int64_t(kRate / 4));
                sent += std::int64_t(kRate / 4);
            }
            rig.take(std::size_t(kRate / 4));
            rig.splicer.poll(rig.now, kRate, 0);
        };
        rig.splicer.open(1);
        rig.send(1, 4, 0, kBurst);  // a fresh connection: 4 s behind live
        sent = kBurst;
        for (int i = 0; i < 40; ++i) {
            tick(true);
        }
        // The server stalls; the decoder plays what is queued, then waits. Data that does not
        // come is silence at the source: the queue that filled first was no stall.
        for (int i = 0; i < stallSeconds * 4; ++i) {
            tick(false);
        }
        QCOMPARE(rig.splicer.msSinceArrival(1, rig.now), qint64(stallSeconds) * 1000);
        // Back: the backlog pours in, then real time again.
        const std::int64_t backlog = std::int64_t(kRate) * stallSeconds;
        rig.send(1, 4, sent, sent + backlog, 16384);
        sent += backlog;
        const std::size_t peakMemory = rig.splicer.memoryBytes();
        const std::size_t heardBefore = rig.heard.size();
        std::int64_t skipped = 0;
        for (int i = 0; i < 40; ++i) {
            tick(true);
            skipped += rig.splicer.takeSkippedMs();
        }
        QCOMPARE(skipped > 0, jumps);
        // Never a repeat; a jump is one cut, back to the lead a fresh connection gives.
        const auto afterFault = std::size_t(rig.heard.size() - heardBefore);
        if (jumps) {
            QVERIFY2(std::abs(skipped - (stallSeconds - 4) * 1000) < 1500,
                     qPrintable(QString::number(skipped)));
            QCOMPARE(std::count_if(rig.pieces.begin(), rig.pieces.end(),
                                   [](const auto& p) { return p.discont; }),
                     2);  // the start, and the jump
            QVERIFY(std::abs(double(rig.splicer.queuedBytes()) / kRate - 4.0) < 0.6);
            // The memory that the backlog took is given back once it is gone: a player left
            // running for days goes through many outages.
            QVERIFY(peakMemory > 2 * Splicer::kTailBytes);
            QVERIFY2(rig.splicer.memoryBytes() <= 2 * Splicer::kTailBytes,
                     qPrintable(QString::number(rig.splicer.memoryBytes())));
        } else {
            QVERIFY(rig.heardExactly(heardBefore, 4, std::int64_t(heardBefore),
                                     std::int64_t(heardBefore + afterFault)));
        }
    }
};

QTEST_GUILESS_MAIN(TestSplicer)
#include "tst_splicer.moc"
