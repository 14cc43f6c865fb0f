// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/UiStallMonitor.h"

#include <algorithm>

namespace orvane::test {

UiStallMonitor::UiStallMonitor() {
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
        m_longest = std::max(m_longest, m_sinceTick.elapsed());
        m_sinceTick.start();
    });
    m_sinceTick.start();
    m_timer.start(10);
}

qint64 UiStallMonitor::longestGapMs() const {
    return std::max(m_longest, m_sinceTick.elapsed());
}

}  // namespace orvane::test
