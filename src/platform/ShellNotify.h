// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

// The notification area as code written for the old platform sees it: one call,
// Shell_NotifyIconA, and one record in its 8-bit version-2 layout. Text fields are Windows-1252
// bytes, read up to their NUL or their full width.
struct NOTIFYICONDATAA {
    std::uint32_t cbSize;
    std::uint32_t hWnd;
    std::uint32_t uID;
    std::uint32_t uFlags;
    std::uint32_t uCallbackMessage;
    std::uint32_t hIcon;
    char szTip[128];
    std::uint32_t dwState;
    std::uint32_t dwStateMask;
    char szInfo[256];
    union {
        std::uint32_t uTimeout;
        std::uint32_t uVersion;
    };
    char szInfoTitle[64];
    std::uint32_t dwInfoFlags;
};
static_assert(sizeof(NOTIFYICONDATAA) == 488);
static_assert(offsetof(NOTIFYICONDATAA, cbSize) == 0);
static_assert(offsetof(NOTIFYICONDATAA, hWnd) == 4);
static_assert(offsetof(NOTIFYICONDATAA, uID) == 8);
static_assert(offsetof(NOTIFYICONDATAA, uFlags) == 12);
static_assert(offsetof(NOTIFYICONDATAA, uCallbackMessage) == 16);
static_assert(offsetof(NOTIFYICONDATAA, hIcon) == 20);
static_assert(offsetof(NOTIFYICONDATAA, szTip) == 24);
static_assert(offsetof(NOTIFYICONDATAA, dwState) == 152);
static_assert(offsetof(NOTIFYICONDATAA, dwStateMask) == 156);
static_assert(offsetof(NOTIFYICONDATAA, szInfo) == 160);
static_assert(offsetof(NOTIFYICONDATAA, uTimeout) == 416);
static_assert(offsetof(NOTIFYICONDATAA, szInfoTitle) == 420);
static_assert(offsetof(NOTIFYICONDATAA, dwInfoFlags) == 484);

inline constexpr std::uint32_t NIM_ADD = 0;
inline constexpr std::uint32_t NIM_MODIFY = 1;
inline constexpr std::uint32_t NIM_DELETE = 2;

inline constexpr std::uint32_t NIF_MESSAGE = 0x01;
inline constexpr std::uint32_t NIF_ICON = 0x02;
inline constexpr std::uint32_t NIF_TIP = 0x04;
inline constexpr std::uint32_t NIF_STATE = 0x08;
inline constexpr std::uint32_t NIF_INFO = 0x10;

inline constexpr std::uint32_t NIIF_NONE = 0;
inline constexpr std::uint32_t NIIF_INFO = 1;
inline constexpr std::uint32_t NIIF_WARNING = 2;
inline constexpr std::uint32_t NIIF_ERROR = 3;

// Codes an icon's notifications carry.
inline constexpr std::uint32_t WM_MOUSEMOVE = 0x200;
inline constexpr std::uint32_t WM_LBUTTONDOWN = 0x201;
inline constexpr std::uint32_t WM_LBUTTONUP = 0x202;
inline constexpr std::uint32_t WM_LBUTTONDBLCLK = 0x203;
inline constexpr std::uint32_t WM_RBUTTONDOWN = 0x204;
inline constexpr std::uint32_t WM_RBUTTONUP = 0x205;
inline constexpr std::uint32_t WM_RBUTTONDBLCLK = 0x206;
inline constexpr std::uint32_t WM_MBUTTONDOWN = 0x207;
inline constexpr std::uint32_t WM_MBUTTONUP = 0x208;
inline constexpr std::uint32_t NIN_BALLOONSHOW = 0x402;
inline constexpr std::uint32_t NIN_BALLOONHIDE = 0x403;
inline constexpr std::uint32_t NIN_BALLOONTIMEOUT = 0x404;
inline constexpr std::uint32_t NIN_BALLOONUSERCLICK = 0x405;

// What stands behind Shell_NotifyIconA. The desktop's own (DesktopNotifyArea) is used unless
// another is installed; tests install one that records the calls.
class NotifyShell {
  public:
    virtual ~NotifyShell() = default;
    virtual bool notifyIcon(std::uint32_t dwMessage, const NOTIFYICONDATAA& data) = 0;
    // Whether icons can be shown at all right now.
    virtual bool hasNotificationArea() const = 0;
};

// Installs a shell (not owned) and returns the one installed before; nullptr stands for the
// desktop's. Passing nullptr puts the desktop's back.
NotifyShell* setNotifyShell(NotifyShell* shell);

// Adds, changes or removes the icon named by (hWnd, uID), applying only the fields that uFlags
// names. Returns false where that cannot be done (no notification area, no such icon, a record
// of another size ...). Never throws.
bool Shell_NotifyIconA(std::uint32_t dwMessage, const NOTIFYICONDATAA& data);

// Whether the installed shell can show icons right now.
bool notificationAreaAvailable();

}  // namespace orvane
