// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QVariant>
#include <cstdint>

namespace orvane {

// Conversion to a 32-bit integer the way the old run time converted to Long: a number is taken
// to the nearest integer, halves to even (2.5 -> 2, 3.5 -> 4); a result outside the 32-bit range
// raises run-time error 6 "Overflow".
std::int32_t toLong(double value);

// The same for a variant argument. Numbers and Booleans (True is -1) convert as numbers; text
// that holds a decimal number (surrounding blanks allowed, "12.5", "-3", "1e3") is read as that
// number; an empty variant is 0. Anything else, text that is not a number included, raises
// run-time error 13 "Type mismatch".
std::int32_t toLong(const QVariant& value);

}  // namespace orvane
