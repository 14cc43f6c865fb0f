// SPDX-License-Identifier: GPL-3.0-or-later
// Builds the window as the program does and prints the face its counter gets and how wide
// "RESTARTING" is in it; fails unless that fits the label. Run on the display and fonts the
// installed program sees, it tells whether an installed copy shows the word whole.
#include <QApplication>
#include <QLabel>
#include <algorithm>
#include <cstdio>

#include "support/ScriptedEngine.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    orvane::test::ScriptedForm f;
    const QLabel* counter = f.form.lblCounter;
    const QFontMetrics m = counter->fontMetrics();
    const QString text = QStringLiteral("RESTARTING");
    const int width = std::max(m.horizontalAdvance(text), m.boundingRect(text).right() + 1);
    std::printf("%s\n%d of %d px\n", qPrintable(counter->fontInfo().family()), width,
                counter->width());
    return width <= counter->width() ? 0 : 1;
}
