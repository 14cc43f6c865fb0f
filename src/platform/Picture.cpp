// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Picture.h"

namespace orvane {

Picture::Owned::~Owned() {
    // The handle may already be gone if someone deleted it behind the picture's back; the call
    // then fails harmlessly, because handles are never reused.
    if (type == Type::Icon) {
        DestroyIcon(handle);
    } else {
        DeleteObject(handle);
    }
}

Picture Picture::fromBitmap(HBITMAP owned) {
    Picture p;
    if (owned != 0) {
        p.m_owned = std::make_shared<const Owned>(Type::Bitmap, owned);
    }
    return p;
}

Picture Picture::fromIcon(HICON owned) {
    Picture p;
    if (owned != 0) {
        p.m_owned = std::make_shared<const Owned>(Type::Icon, owned);
    }
    return p;
}

}  // namespace orvane
