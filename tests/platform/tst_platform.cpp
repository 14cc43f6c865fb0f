// SPDX-License-Identifier: GPL-3.0-or-later
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
    void codePage();
    void dispatchHandsErrorsToTheHandler();
};

void TestPlatform::codePage() {
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

void TestPlatform::dispatchHandsErrorsToTheHandler() {
    const ErrorHandler previous = setErrorHandler(&recordError);
    bool after = false;
    dispatch([&] {
        throw RuntimeError(err::InvalidPropertyValue);
        after = true;
    });
    QCOMPARE(g_seen, QStringLiteral("Run-time error '380': Invalid property value"));
    QVERIFY(!after);
    dispatch([] { throw std::runtime_error("boom"); });
    QCOMPARE(g_seen, QStringLiteral("Run-time error '51': boom"));
    g_seen.clear();
    dispatch([] {});
    QVERIFY(g_seen.isEmpty());
    setErrorHandler(previous);
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
