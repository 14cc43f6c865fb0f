// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/Splicer.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <utility>

namespace orvane {

namespace {

// Boyer-Moore finds the first match in time linear in the text, and skips most of it when there
// is none: compressed audio rarely repeats a byte pattern.
template <typename It>
It find(It first, It last, It patternFirst, It patternLast) {
    return std::search(first, last, std::boyer_moore_searcher<It>(patternFirst, patternLast));
}

// Played bytes beyond the tail go once there are this many, so that memory moves seldom (every
// two seconds at 128 kbit/s, a copy of a few hundred kilobytes).
constexpr std::int64_t kCompactBytes = 32 * 1024;
// Room for the tail, the bytes waiting to go and a few seconds queued: what a stream needs
// while it plays steadily, set aside at once rather than grown into, which would leave the
// smaller blocks it outgrew behind. A backlog may need more for a while; that goes back once
// it has been played.
constexpr std::size_t kSteadyBytes = 2 * Splicer::kTailBytes;

}  // namespace

void Splicer::open(int feed) {
    m_feeds.try_emplace(feed);
}

void Splicer::close(int feed) {
    m_feeds.erase(feed);
}

bool Splicer::isAligned(int feed) const {
    const auto it = m_feeds.find(feed);
    return it != m_feeds.end() && it->second.aligned;
}

std::int64_t Splicer::msSinceArrival(int feed, std::int64_t nowMs) const {
    const auto it = m_feeds.find(feed);
    return it == m_feeds.end() || it->second.lastArrivalMs < 0 ? -1
                                                               : nowMs - it->second.lastArrivalMs;
}

void Splicer::push(int id, const std::uint8_t* data, std::size_t size, std::int64_t nowMs) {
    const auto it = m_feeds.find(id);
    if (it == m_feeds.end() || size == 0 || it->second.rejected) {
        return;
    }
    Feed& feed = it->second;
    feed.lastArrivalMs = nowMs;
    if (feed.aligned) {
        append(feed, data, size, nowMs);
    } else {
        feed.pending.insert(feed.pending.end(), data, data + size);
        if (m_streams.empty()) {
            startStream(id, feed);  // the first connection: nothing to match yet
        }
    }
    // New bytes in the queue are new ground for connections still looking for their place.
    resolvePending(nowMs);
}

void Splicer::resolvePending(std::int64_t nowMs) {
    for (auto& [id, feed] : m_feeds) {
        if (!feed.aligned && !feed.rejected) {
            tryResolve(id, feed, nowMs);
        }
    }
}

void Splicer::tryResolve(int id, Feed& feed, std::int64_t nowMs) {
    if (feed.pending.size() < kMatchBytes) {
        return;
    }
    if (feed.matchableSinceMs < 0) {
        feed.matchableSinceMs = nowMs;
    }
    if (findOverlap(feed)) {
        feed.aligned = true;
        feed.stream = currentStream();
        m_resolutions.push_back({id, Outcome::Continues, feed.stream});
        appendPending(feed, nowMs);
        return;
    }
    decide(id, feed, nowMs);
}

bool Splicer::findOverlap(Feed& feed) {
    const std::int64_t tail = tailStart();
    if (m_end - tail < std::int64_t(kMatchBytes)) {
        return false;
    }
    const std::uint8_t* begin = feed.pending.data();
    const std::uint8_t* end = begin + feed.pending.size();

    // The newest bytes queued inside the new data: it began before the queue's end. What was
    // searched already for the same newest bytes is not searched again.
    if (feed.needleEnd != m_end) {
        feed.needleEnd = m_end;
        feed.needleScanned = 0;
    }
    const std::size_t from =
        feed.needleScanned >= kMatchBytes ? feed.needleScanned - (kMatchBytes - 1) : 0;
    const std::uint8_t* needle = at(m_end - std::int64_t(kMatchBytes));
    const std::uint8_t* hit = find(begin + from, end, needle, needle + kMatchBytes);
    feed.needleScanned = feed.pending.size();
    if (hit != end) {
        feed.next = m_end - std::int64_t(hit - begin) - std::int64_t(kMatchBytes);
        return true;
    }

    // The new data's first bytes inside the queue's tail: it began after the tail did. Only
    // what was queued since the last look is searched; the latest place wins, should they occur
    // more than once (a run of identical frames of silence).
    std::int64_t scanFrom = tail;
    if (feed.headScannedTo - std::int64_t(kMatchBytes - 1) > scanFrom) {
        scanFrom = feed.headScannedTo - std::int64_t(kMatchBytes - 1);
    }
    feed.headScannedTo = m_end;
    if (m_end - scanFrom < std::int64_t(kMatchBytes)) {
        return false;
    }
    using Back = std::reverse_iterator<const std::uint8_t*>;
    const Back textFirst(at(m_end));
    const Back textLast(at(scanFrom));
    const Back found = find(textFirst, textLast, Back(begin + kMatchBytes), Back(begin));
    if (found == textLast) {
        return false;
    }
    feed.next = m_base + ((found + std::ptrdiff_t(kMatchBytes)).base() - m_data.data());
    return true;
}

void Splicer::decide(int id, Feed& feed, std::int64_t nowMs) {
    // An older connection to the same stream that still delivers may yet reach the point where
    // this one starts (it has a backlog to send); one that is silent gets a moment to speak up.
    bool flowing = false;
    bool open = false;
    for (const auto& [otherId, other] : m_feeds) {
        if (otherId == id || !other.aligned || other.stream != currentStream()) {
            continue;
        }
        open = true;
        flowing = flowing || (other.lastArrivalMs >= 0 && nowMs - other.lastArrivalMs < kGraceMs);
    }
    if (flowing) {
        if (feed.pending.size() > kMaxPendingBytes) {
            feed.rejected = true;
            feed.pending = {};
            m_resolutions.push_back({id, Outcome::Rejected, 0});
        }
        return;
    }
    if (open && nowMs - feed.matchableSinceMs < kGraceMs) {
        return;
    }
    startStream(id, feed);
}

void Splicer::startStream(int id, Feed& feed) {
    m_streams.push_back({m_end, ++m_lastStream});
    feed.aligned = true;
    feed.stream = m_lastStream;
    feed.next = m_end;
    m_leadMs = -1;  // measured again on the new stream
    m_resolutions.push_back({id, Outcome::NewStream, m_lastStream});
    appendPending(feed, feed.lastArrivalMs);
    // Connections still looking for their place look in the new stream from now on.
    for (auto& [otherId, other] : m_feeds) {
        other.needleEnd = -1;
        other.headScannedTo = -1;
    }
}

void Splicer::appendPending(Feed& feed, std::int64_t nowMs) {
    const std::vector<std::uint8_t> bytes = std::move(feed.pending);
    feed.pending = {};
    append(feed, bytes.data(), bytes.size(), nowMs);
}

void Splicer::append(Feed& feed, const std::uint8_t* data, std::size_t size, std::int64_t nowMs) {
    const std::int64_t from = feed.next;
    feed.next += std::int64_t(size);
    // Bytes of a stream that a newer one has replaced, or that another connection queued first.
    if (feed.stream != currentStream() || feed.next <= m_end) {
        return;
    }
    const std::size_t skip = from < m_end ? std::size_t(m_end - from) : 0;
    if (m_data.capacity() < kSteadyBytes) {
        m_data.reserve(kSteadyBytes);
    }
    m_data.insert(m_data.end(), data + skip, data + size);
    m_end += std::int64_t(size - skip);
    m_lastAppendMs = nowMs;
    if (m_end - m_read > std::int64_t(kMaxQueuedBytes)) {
        dropQueued(m_end - std::int64_t(kMaxQueuedBytes));
    }
}

void Splicer::poll(std::int64_t nowMs, double bytesPerSecond, std::int64_t downstreamMs) {
    resolvePending(nowMs);
    m_growth.emplace_back(nowMs, m_end);
    // A second of history answers "for the last half second"; older entries go.
    while (m_growth.size() > 2 && m_growth[1].first <= nowMs - 2 * kSettleMs) {
        m_growth.erase(m_growth.begin());
    }
    if (bytesPerSecond <= 0 || m_streams.empty() || m_lastAppendMs < 0 ||
        nowMs - m_lastAppendMs > kSettleMs) {
        return;  // nothing flows: a queue that drains is no backlog
    }
    // The latest record at least kSettleMs old: has the queue grown faster than real time since?
    const auto since = std::find_if(m_growth.rbegin(), m_growth.rend(), [&](const auto& entry) {
        return entry.first <= nowMs - kSettleMs;
    });
    if (since == m_growth.rend()) {
        return;
    }
    const double seconds = double(nowMs - since->first) / 1000.0;
    if (double(m_end - since->second) > 1.5 * bytesPerSecond * seconds) {
        return;  // a backlog still pouring in
    }
    const std::int64_t lagMs =
        std::int64_t(double(queuedBytes()) * 1000.0 / bytesPerSecond) + downstreamMs;
    if (m_leadMs < 0) {
        m_leadMs = lagMs;
        return;
    }
    if (lagMs <= m_leadMs + kBehindLiveMs) {
        return;
    }
    const std::int64_t keepMs = std::max<std::int64_t>(0, m_leadMs - downstreamMs);
    const auto keep = std::min<std::int64_t>(std::int64_t(double(keepMs) * bytesPerSecond / 1000.0),
                                             m_end - m_read);
    m_skippedMs += std::int64_t(double(m_end - keep - m_read) * 1000.0 / bytesPerSecond);
    dropQueued(m_end - keep);
}

void Splicer::dropQueued(std::int64_t newRead) {
    if (newRead > m_read) {
        m_read = newRead;
        m_dropped = true;
        compact();
    }
}

int Splicer::nextStream() const {
    if (m_read >= m_end) {
        return 0;
    }
    int stream = 0;
    for (const StreamStart& start : m_streams) {
        if (start.position > m_read) {
            break;
        }
        stream = start.number;
    }
    return stream;
}

Splicer::Piece Splicer::pull(std::uint8_t* out, std::size_t max) {
    Piece piece;
    if (m_read >= m_end || max == 0) {
        return piece;
    }
    std::int64_t limit = m_end;
    for (const StreamStart& start : m_streams) {
        if (start.position > m_read) {
            limit = start.position;
            break;
        }
        piece.stream = start.number;
    }
    piece.size = std::size_t(std::min<std::int64_t>(std::int64_t(max), limit - m_read));
    std::memcpy(out, at(m_read), piece.size);
    piece.discont = piece.stream != m_pulledStream || m_dropped;
    m_pulledStream = piece.stream;
    m_dropped = false;
    m_read += std::int64_t(piece.size);
    // Streams wholly behind the reader are done with; the newest always stays.
    while (m_streams.size() > 1 && m_streams[1].position <= m_read) {
        m_streams.erase(m_streams.begin());
    }
    compact();
    return piece;
}

bool Splicer::rewind(std::int64_t position) {
    // The stream that `position` lies in must still be known: pull() forgets the streams that
    // lie wholly behind the reader, and bytes of one of those would pass for the next one's.
    if (position < m_base || position > m_read || m_streams.empty() ||
        m_streams.front().position > position) {
        return false;
    }
    m_read = position;
    m_dropped = true;
    return true;
}

std::int64_t Splicer::tailStart() const {
    const std::int64_t streamStart = m_streams.empty() ? m_end : m_streams.back().position;
    return std::max({m_base, m_end - std::int64_t(kTailBytes), streamStart});
}

void Splicer::compact() {
    // Played bytes stay as long as they are in the tail; the queue always stays.
    const std::int64_t keepFrom = std::min(m_read, m_end - std::int64_t(kTailBytes));
    if (keepFrom - m_base >= kCompactBytes) {
        m_data.erase(m_data.begin(), m_data.begin() + (keepFrom - m_base));
        m_base = keepFrom;
    }
    if (m_data.capacity() > 2 * kSteadyBytes && m_data.size() <= kSteadyBytes) {
        std::vector<std::uint8_t> steady;
        steady.reserve(kSteadyBytes);
        steady.assign(m_data.begin(), m_data.end());
        m_data.swap(steady);
    }
}

std::vector<Splicer::Resolution> Splicer::takeResolutions() {
    return std::exchange(m_resolutions, {});
}

std::int64_t Splicer::takeSkippedMs() {
    return std::exchange(m_skippedMs, 0);
}

}  // namespace orvane
