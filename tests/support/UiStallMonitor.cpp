#include "UiStallMonitor.h"

#include <algorithm>

namespace orvane::test {

UiStallMonitor::UiStallMonitor(int intervalMs) {
    m_timer.setInterval(intervalMs);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &UiStallMonitor::tick);
}

void UiStallMonitor::start() {
    m_longest = 0;
    m_sinceTick.start();
    m_timer.start();
}

qint64 UiStallMonitor::longestGapMs() const {
    return std::max(m_longest, m_timer.isActive() ? m_sinceTick.elapsed() : 0);
}

void UiStallMonitor::tick() {
    m_longest = std::max(m_longest, m_sinceTick.elapsed());
    m_sinceTick.start();
}

}  // namespace orvane::test
