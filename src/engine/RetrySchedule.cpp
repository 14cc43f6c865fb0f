// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/RetrySchedule.h"

#include <QRandomGenerator>
#include <algorithm>

namespace orvane {

int RetrySchedule::delayMs(int failures, double random) {
    switch (failures) {
        case 0:
        case 1:
            return 0;
        case 2:
            return kMinGapMs;
        default:
            return kSteadyMinMs + int(random * (kSteadyMaxMs - kSteadyMinMs));
    }
}

int RetrySchedule::gapDelayMs() const {
    if (!m_lastTry.isValid()) {
        return 0;
    }
    return int(std::max<qint64>(0, kMinGapMs - m_lastTry.elapsed()));
}

int RetrySchedule::nextDelayMs() {
    ++m_failures;
    return std::max(delayMs(m_failures, QRandomGenerator::global()->generateDouble()),
                    gapDelayMs());
}

}  // namespace orvane
