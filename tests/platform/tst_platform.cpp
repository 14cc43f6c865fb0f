// SPDX-License-Identifier: GPL-3.0-or-later
#include <QDialog>
#include <QtTest>

#include "platform/CodePage.h"
#include "platform/RuntimeError.h"

using namespace orvane;

namespace {
QString g_seen;
void recordError(const RuntimeError& e) {
    g_seen = runtimeErrorMessage(e);
}
}  // namespace

class TestPlatform : public QObject {
    Q_OBJECT
  private slots:
    void codePage() {
        // Every byte survives a round trip, the undefined ones included.
        QByteArray all;
        for (int b = 0; b < 256; ++b) {
            all.append(char(b));
        }
        QCOMPARE(toCodePage(fromCodePage(all)), all);
        QCOMPARE(fromCodePage("\x80\x99\xE9"), QStringLiteral("€™é"));
        // Characters outside the code page become '?', one byte per UTF-16 unit.
        QCOMPARE(toCodePage(QStringLiteral("a€Жb")), QByteArray("a\x80?b"));
        QCOMPARE(toCodePage(QStringLiteral("🎵")), QByteArray("??"));
    }
    void dispatchHandsErrorsToTheHandler() {
        const ErrorHandler previous = setErrorHandler(&recordError);
        dispatch([] { throw RuntimeError(err::InvalidPropertyValue); });
        QCOMPARE(g_seen, QStringLiteral("Run-time error '380': Invalid property value"));
        dispatch([] { throw std::runtime_error("boom"); });
        QCOMPARE(g_seen, QStringLiteral("Run-time error '51': boom"));
        g_seen.clear();
        dispatch([] {});
        QVERIFY(g_seen.isEmpty());
        setErrorHandler(previous);
    }
    // While the error box is up, its own loop must deliver nothing to the rest of the program: no
    // timer tick, no queued call, and no handler entered through dispatch().
    void errorBoxHoldsEverythingElse() {
        QObject outside;
        int ran = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, &outside, [&ran] { ++ran; });
        ticker.start(1);
        QDialog box;
        int boxTicks = 0;
        QTimer boxTimer(&box);  // the box's own timers still run: this one closes it
        connect(&boxTimer, &QTimer::timeout, &box, [&] {
            dispatch([&ran] { ++ran; });
            if (++boxTicks == 20) {
                box.accept();
            }
        });
        QMetaObject::invokeMethod(
            &outside, [&ran] { ++ran; }, Qt::QueuedConnection);
        boxTimer.start(1);
        QCOMPARE(execAlone(box), int(QDialog::Accepted));
        QCOMPARE(ran, 0);
        QVERIFY(!handlersHeld());
        // Afterwards everything runs again.
        QTRY_VERIFY(ran > 0);
    }
};

QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
