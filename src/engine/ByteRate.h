// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

namespace orvane {

// How many bytes a second of the stream's audio takes, measured on what the player takes while
// it plays: playing steadily, it takes bytes exactly as fast as it plays them.
class ByteRate {
  public:
    // One look, a watch tick after the last: whether the player plays, its position, the bytes
    // it took since the last look, and how long it has been asking for bytes that are not there
    // (-1: it is not).
    void look(bool playing, double position, quint64 taken, qint64 dryMs);
    // 0 until five seconds of steady play have been measured.
    double bytesPerSecond() const;
    // What the player plays next need not be what it played: a new stream, a new decoder.
    void restart() { m_position = -1; }
    void clear();

  private:
    double m_bytes = 0;
    double m_seconds = 0;
    double m_position = -1;
    int m_warmup = 0;
};

}  // namespace orvane
