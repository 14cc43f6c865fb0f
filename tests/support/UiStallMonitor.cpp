#include "UiStallMonitor.h"

#include <algorithm>

namespace orvane::test {

UiStallMonitor::UiStallMonitor(int intervalMs) {
    m_timer.setInterval(intervalMs);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &UiStallMonitor::tick);
}

void UiStallMonitor::start() {
    reset();
    m_timer.start();
}

void UiStallMonitor::stop() {
    m_timer.stop();
}

void UiStallMonitor::reset() {
    m_longest = 0;
    m_sinceTick.start();
}

qint64 UiStallMonitor::longestGapMs() const {
    const qint64 current = m_timer.isActive() ? m_sinceTick.elapsed() : 0;
    return std::max(m_longest, current);
}

void UiStallMonitor::tick() {
    m_longest = std::max(m_longest, m_sinceTick.elapsed());
    m_sinceTick.start();
}

}  // namespace orvane::test
