// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Conversions.h"

#include <QLocale>
#include <QString>
#include <cfenv>
#include <cmath>

#include "platform/RuntimeError.h"

namespace orvane {

std::int32_t toLong(double value) {
    // nearbyint rounds in the current rounding mode; make sure it is to-nearest-even, whatever a
    // library may have left behind.
    const int previousMode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(previousMode);
    // NaN fails both comparisons and so lands here too.
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) {
        throw RuntimeError(err::Overflow);
    }
    return static_cast<std::int32_t>(rounded);
}

std::int32_t toLong(const QVariant& value) {
    switch (value.metaType().id()) {
        case QMetaType::UnknownType:
            return 0;
        case QMetaType::Bool:
            return value.toBool() ? -1 : 0;
        case QMetaType::Int:
        case QMetaType::Short:
        case QMetaType::SChar:
        case QMetaType::Char:
        case QMetaType::Long:
        case QMetaType::LongLong: {
            const qlonglong v = value.toLongLong();
            if (v < INT32_MIN || v > INT32_MAX) {
                throw RuntimeError(err::Overflow);
            }
            return static_cast<std::int32_t>(v);
        }
        case QMetaType::UInt:
        case QMetaType::UShort:
        case QMetaType::UChar:
        case QMetaType::ULong:
        case QMetaType::ULongLong: {
            const qulonglong v = value.toULongLong();
            if (v > static_cast<qulonglong>(INT32_MAX)) {
                throw RuntimeError(err::Overflow);
            }
            return static_cast<std::int32_t>(v);
        }
        case QMetaType::Double:
        case QMetaType::Float:
            return toLong(value.toDouble());
        case QMetaType::QString: {
            // The C locale keeps the result the same on every desktop: "1.5" is one and a half.
            bool ok = false;
            const double number = QLocale::c().toDouble(value.toString().trimmed(), &ok);
            // "inf" and "nan" parse, but they are words, not numbers a user would write.
            if (!ok || !std::isfinite(number)) {
                throw RuntimeError(err::TypeMismatch);
            }
            return toLong(number);
        }
        default:
            throw RuntimeError(err::TypeMismatch);
    }
}

}  // namespace orvane
