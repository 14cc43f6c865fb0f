// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace orvane {

// Joins the connections to one live stream into one run of compressed bytes for the decoder, so
// that a new connection continues exactly where the audio of the old one ends.
//
// A server hands every new listener a burst of what it sent just before (a few seconds), so a
// second connection to the same stream first repeats bytes the player already has. The splicer
// keeps the last bytes it queued and finds where the new connection's bytes meet them: either the
// newest bytes it holds turn up inside the new data, or the new data's first bytes turn up among
// those it holds. Everything up to that point is dropped. Bytes of connections that share a
// stream carry stream positions from then on, so whichever connection delivers a position first
// queues it and the others' copies are dropped. A connection whose bytes meet nothing (the
// encoder restarted, another mirror, another bit rate) starts a new stream after everything
// queued, unless an older connection is still delivering and may yet catch up with it.
//
// It also keeps the player near live: after a fault the server may send its whole backlog at
// once. Below a bound the player plays on through it; above it, once the backlog is in, it drops
// the oldest queued bytes, once, down to the lead that a fresh connection gave.
//
// Not thread-safe; times are milliseconds on any monotonic clock.
class Splicer {
  public:
    // Bytes that must match before two connections count as the same stream: a quarter of a
    // second at 32 kbit/s, well beyond what two different pieces of compressed audio share.
    static constexpr std::size_t kMatchBytes = 1024;
    // How far back the queued and played bytes are kept to be found again: 8 s at 128 kbit/s,
    // twice the burst that Icecast gives a new listener by default. A new connection whose
    // burst reaches further back still finds its place once its bytes pass the queue's end.
    static constexpr std::size_t kTailBytes = 128 * 1024;
    // A new connection whose bytes meet nothing, while an older one still delivers, gives up
    // after this much.
    static constexpr std::size_t kMaxPendingBytes = 256 * 1024;
    // Beyond this the oldest queued bytes go (4 min at 128 kbit/s): a bound on memory only.
    static constexpr std::size_t kMaxQueuedBytes = 4 * 1024 * 1024;
    // A connection that delivered within this is alive; a new one whose bytes meet nothing
    // waits this long for a silent older one before it starts a new stream.
    static constexpr std::int64_t kGraceMs = 300;
    // How much further behind live than a fresh connection the player may fall before it jumps
    // forward. Every player starts a few seconds behind (the server's burst), and a fault of a
    // few seconds is best bridged without losing a word. Beyond about ten seconds the delay
    // shows against the clock (a time signal, the news on the hour, a call to the station) and
    // would last for the rest of the listening, so the programme missed is skipped instead.
    static constexpr std::int64_t kBehindLiveMs = 10000;
    // The backlog is in once the queue has grown no faster than 1.5 times real time for this
    // long.
    static constexpr std::int64_t kSettleMs = 500;

    enum class Outcome {
        Continues,  // it carries on the stream being queued
        NewStream,  // it starts a stream of its own after everything queued
        Rejected,   // it met nothing while an older connection kept delivering
    };
    struct Resolution {
        int feed;
        Outcome outcome;
        int stream;
    };
    // A run of bytes handed to the decoder. `discont`: the first bytes of a new stream, or the
    // first after bytes were dropped to catch up with live.
    struct Piece {
        std::size_t size = 0;
        int stream = 0;
        bool discont = false;
    };

    // A connection that will deliver. The first one starts the first stream.
    void open(int feed);
    // Its bytes are not taken any longer.
    void close(int feed);
    void push(int feed, const std::uint8_t* data, std::size_t size, std::int64_t nowMs);
    // What waits on time: a connection whose bytes met nothing, the jump back to near live.
    // `bytesPerSecond` of the stream (0: not known yet), and how much audio the decoder holds
    // beyond what it has taken from here.
    void poll(std::int64_t nowMs, double bytesPerSecond, std::int64_t downstreamMs);

    // Takes up to `max` bytes of one stream into `out`.
    Piece pull(std::uint8_t* out, std::size_t max);
    // The next bytes pulled begin at `position` again, among those already pulled: a new
    // decoder takes over what the old one took but never played. False, and nothing changes,
    // where those bytes are no longer held, or belong to a stream already left behind.
    bool rewind(std::int64_t position);
    std::size_t queuedBytes() const { return std::size_t(m_end - m_read); }
    // The memory its bytes take, queued, played and spare.
    std::size_t memoryBytes() const { return m_data.capacity(); }
    // The stream that the next pulled bytes belong to; 0 when nothing is queued.
    int nextStream() const;
    // Stream positions: where the next pulled byte and the next queued byte lie.
    std::int64_t readPosition() const { return m_read; }
    std::int64_t endPosition() const { return m_end; }
    // Whether a feed carries on a stream, or starts or is still looking for one.
    bool isAligned(int feed) const;
    std::int64_t msSinceArrival(int feed, std::int64_t nowMs) const;

    // What became of connections since the last call.
    std::vector<Resolution> takeResolutions();
    // Milliseconds of programme dropped to catch up with live since the last call.
    std::int64_t takeSkippedMs();

  private:
    struct Feed {
        bool aligned = false;
        bool rejected = false;
        int stream = 0;
        std::int64_t next = 0;  // aligned: the stream position of its next byte
        std::vector<std::uint8_t> pending;
        std::int64_t lastArrivalMs = -1;
        std::int64_t matchableSinceMs = -1;
        // How far the searches have come, so that each byte is looked at about once.
        std::int64_t needleEnd = -1;
        std::size_t needleScanned = 0;
        std::int64_t headScannedTo = -1;
    };
    struct StreamStart {
        std::int64_t position;
        int number;
    };

    void tryResolve(int id, Feed& feed, std::int64_t nowMs);
    bool findOverlap(Feed& feed);
    void decide(int id, Feed& feed, std::int64_t nowMs);
    void startStream(int id, Feed& feed);
    void append(Feed& feed, const std::uint8_t* data, std::size_t size, std::int64_t nowMs);
    void appendPending(Feed& feed, std::int64_t nowMs);
    void resolvePending(std::int64_t nowMs);
    void dropQueued(std::int64_t newRead);
    void compact();
    std::int64_t tailStart() const;
    const std::uint8_t* at(std::int64_t position) const {
        return m_data.data() + (position - m_base);
    }
    int currentStream() const { return m_streams.empty() ? 0 : m_streams.back().number; }

    std::map<int, Feed> m_feeds;
    // Stream positions [m_base, m_end) are held; [m_read, m_end) is queued.
    std::vector<std::uint8_t> m_data;
    std::int64_t m_base = 0;
    std::int64_t m_read = 0;
    std::int64_t m_end = 0;
    std::vector<StreamStart> m_streams;
    int m_lastStream = 0;
    int m_pulledStream = 0;
    bool m_dropped = false;  // the next piece follows dropped bytes

    // The queue's end over the last second, to tell a backlog pouring in from real time.
    std::vector<std::pair<std::int64_t, std::int64_t>> m_growth;
    std::int64_t m_lastAppendMs = -1;
    std::int64_t m_leadMs = -1;  // behind live on a fresh connection; -1 until measured
    std::int64_t m_skippedMs = 0;
    std::vector<Resolution> m_resolutions;
};

}  // namespace orvane
