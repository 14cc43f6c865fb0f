// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace orvane::fuzz {

// A fuzzer's input read front to back; past the end every read gives zeros.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_pos >= m_size; }
    std::uint8_t byte() { return empty() ? 0 : m_data[m_pos++]; }
    std::uint16_t u16() { return std::uint16_t(byte() | (byte() << 8)); }
    std::uint32_t u32() { return std::uint32_t(u16()) | (std::uint32_t(u16()) << 16); }
    bool flag() { return (byte() & 1) != 0; }
    QByteArrayView take(std::size_t n) {
        const std::size_t k = empty() ? 0 : std::min(n, m_size - m_pos);
        const QByteArrayView out(reinterpret_cast<const char*>(m_data + m_pos), qsizetype(k));
        m_pos += k;
        return out;
    }
    QByteArrayView rest() { return take(m_size); }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// A broken promise aborts as a sanitizer finding would: the fuzzer keeps the input.

inline void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace orvane::fuzz
