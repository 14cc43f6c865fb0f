#pragma once

#include <QByteArray>
#include <QImage>
#include <cstring>
#include <vector>

#include "Gdi.h"
#include "ShellNotify.h"

namespace orvane::test {

// Stands in for the notification area while it lives: keeps each call's message and the 488
// bytes of its record, and answers `result`. A NIF_ICON call's icon is copied at once, as the
// real shell does, since the caller may destroy it right after.
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
    };
    std::vector<Call> calls;
    bool result = true;
    bool area = true;

    RecordingShell() : m_previous(setNotifyShell(this)) {}
    ~RecordingShell() override { setNotifyShell(m_previous); }
    RecordingShell(const RecordingShell&) = delete;
    RecordingShell& operator=(const RecordingShell&) = delete;

    bool notifyIcon(std::uint32_t message, const NOTIFYICONDATAA& data) override {
        const QByteArray bytes(reinterpret_cast<const char*>(&data), sizeof data);
        calls.push_back(
            {message, bytes, (data.uFlags & NIF_ICON) ? imageOfIcon(data.hIcon) : QImage()});
        return result;
    }
    bool hasNotificationArea() const override { return area; }

  private:
    NotifyShell* m_previous;
};

// A text field as it should read: the text, one NUL, spaces to the width; or, for a text with no
// room for the NUL, its first `width` bytes.
inline QByteArray field(const QByteArray& text, int width) {
    return text.size() >= width ? text.left(width)
                                : text + '\0' + QByteArray(width - text.size() - 1, ' ');
}

}  // namespace orvane::test
