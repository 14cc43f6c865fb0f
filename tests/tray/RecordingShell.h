#pragma once

#include <QByteArray>
#include <QImage>
#include <cstring>
#include <vector>

#include "Gdi.h"
#include "ShellNotify.h"

namespace orvane::test {

// Stands in for the notification area while it lives: keeps each call's message, the 488 bytes
// of its record and, for NIF_ICON, a copy of the icon taken at once (as the real shell does, since
// the caller may destroy it right after). Answers `result`.
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
        calls.push_back({message, QByteArray(reinterpret_cast<const char*>(&data), sizeof data),
                         (data.uFlags & NIF_ICON) ? imageOfIcon(data.hIcon) : QImage()});
        return result;
    }
    bool hasNotificationArea() const override { return area; }

  private:
    NotifyShell* m_previous;
};

}  // namespace orvane::test
