#pragma once

#include <QByteArray>
#include <QImage>
#include <cstring>
#include <vector>

#include "Gdi.h"
#include "ShellNotify.h"

namespace orvane::test {

// Stands in for the notification area while it lives: keeps every call's message and the 488
// bytes of its record, and answers with `result`. The icon of a NIF_ICON call is copied at call
// time, as the real shell does, since the caller may destroy it right after.
class RecordingShell final : public NotifyShell {
  public:
    struct Call {
        std::uint32_t message;
        QByteArray bytes;
        QImage icon;

        std::uint32_t u32(int offset) const {
            std::uint32_t v;
            std::memcpy(&v, bytes.constData() + offset, 4);
            return v;
        }
        std::uint32_t flags() const { return u32(12); }
        std::uint32_t hIcon() const { return u32(20); }
        QByteArray tip() const { return bytes.mid(24, 128); }
        QByteArray info() const { return bytes.mid(160, 256); }
        std::uint32_t timeout() const { return u32(416); }
        QByteArray infoTitle() const { return bytes.mid(420, 64); }
        std::uint32_t infoFlags() const { return u32(484); }
    };

    std::vector<Call> calls;
    bool result = true;
    bool area = true;

    RecordingShell() : m_previous(setNotifyShell(this)) {}
    ~RecordingShell() override { setNotifyShell(m_previous); }
    RecordingShell(const RecordingShell&) = delete;
    RecordingShell& operator=(const RecordingShell&) = delete;

    bool notifyIcon(std::uint32_t message, const NOTIFYICONDATAA& data) override {
        Call c{message, QByteArray(reinterpret_cast<const char*>(&data), sizeof data), {}};
        if (data.uFlags & NIF_ICON) {
            c.icon = imageOfIcon(data.hIcon);
        }
        calls.push_back(std::move(c));
        return result;
    }
    bool hasNotificationArea() const override { return area; }

  private:
    NotifyShell* m_previous;
};

// A text field as it should read: the text's bytes, one NUL, spaces to the width; or, for a text
// with no room for the NUL, its first `width` bytes.
inline QByteArray expectedField(const QByteArray& text, int width) {
    if (text.size() >= width) {
        return text.left(width);
    }
    return text + '\0' + QByteArray(width - text.size() - 1, ' ');
}

}  // namespace orvane::test
