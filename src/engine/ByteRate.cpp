// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ByteRate.h"

#include <algorithm>

namespace orvane {

namespace {

// After the player starts or resumes, its queues fill before it takes bytes at the pace it plays
// them: the rate is measured only after this many looks.
constexpr int kWarmupLooks = 12;
// The network's data comes in batches a few tenths of a second apart, and the player empties
// its queue between them: a wait this short is steady play. Longer, the player runs dry and
// takes less than it plays.
constexpr qint64 kBatchGapMs = 500;
// The last minute or two counts.
constexpr double kWindowSeconds = 60.0;
constexpr double kMeasuredSeconds = 5.0;

}  // namespace

void ByteRate::look(bool playing, double position, quint64 taken, qint64 dryMs) {
    if (!playing || dryMs > kBatchGapMs || position < m_position) {
        m_position = -1;
        m_warmup = kWarmupLooks;
        return;
    }
    if (m_position >= 0 && m_warmup == 0) {
        m_bytes += double(taken);
        m_seconds += position - m_position;
        if (m_seconds > kWindowSeconds) {
            m_bytes /= 2;
            m_seconds /= 2;
        }
    }
    m_position = position;
    m_warmup = std::max(0, m_warmup - 1);
}

double ByteRate::bytesPerSecond() const {
    return m_seconds >= kMeasuredSeconds ? m_bytes / m_seconds : 0.0;
}

void ByteRate::clear() {
    *this = {};
}

}  // namespace orvane
