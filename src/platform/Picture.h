// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Gdi.h"

namespace orvane {

// A picture of the form engine: a bitmap or an icon held by handle in the GDI table. Copies
// share the handle, as references to one picture object did, and the last copy to go deletes the
// bitmap or destroys the icon. An empty picture has type None and handle 0.
class Picture {
  public:
    enum class Type : std::int16_t { None = 0, Bitmap = 1, Icon = 3 };

    Picture() = default;
    // Takes ownership of the handle; a handle of 0 gives an empty picture.
    static Picture fromBitmap(HBITMAP owned);
    static Picture fromIcon(HICON owned);

    // The picture's default property: its bitmap or icon handle.
    std::uint32_t Handle() const { return m_owned ? m_owned->handle : 0; }
    Type type() const { return m_owned ? m_owned->type : Type::None; }

    friend bool operator==(const Picture& a, const Picture& b) { return a.m_owned == b.m_owned; }

  private:
    struct Owned {
        Type type;
        std::uint32_t handle;
        Owned(Type t, std::uint32_t h) : type(t), handle(h) {}
        Owned(const Owned&) = delete;
        Owned& operator=(const Owned&) = delete;
        ~Owned();
    };
    std::shared_ptr<const Owned> m_owned;
};

}  // namespace orvane
