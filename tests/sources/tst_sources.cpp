// SPDX-License-Identifier: GPL-3.0-or-later
#include <QTemporaryDir>
#include <QtTest>

#include "platform/RuntimeError.h"
#include "sources/SourceList.h"

using namespace orvane;

class TestSources : public QObject {
    Q_OBJECT
  private slots:
    void lineEndsAndLengths();
    void encodings();
    void fileErrors();
    void split_data();
    void split();
};

void TestSources::lineEndsAndLengths() {
    // CR, CRLF and LF all end a line; the last line needs no end; 8 characters are too short,
    // 9 are enough; order and duplicates are kept; nothing is trimmed.
    const QByteArray content =
        "Radio One,http://a/1\r\n"
        "12345678\r"
        "123456789\n"
        "\n\r\n"
        "Radio One,http://a/1\r\n"
        " Name , url \n"
        "Last,http://no/end";
    QCOMPARE(parseSourceLines(content),
             QStringList({"Radio One,http://a/1", "123456789", "Radio One,http://a/1",
                          " Name , url ", "Last,http://no/end"}));
    QVERIFY(parseSourceLines("").isEmpty());
    QVERIFY(parseSourceLines("short\r\n1234\n").isEmpty());
}

void TestSources::encodings() {
    // A UTF-8 byte-order mark is not part of the first line.
    QCOMPARE(parseSourceLines("\xEF\xBB\xBFRadio One,x"), QStringList({"Radio One,x"}));
    // Valid UTF-8 lines are UTF-8; others are Windows-1252, decided line by line.
    QCOMPARE(
        parseSourceLines("Caf\xC3\xA9 FM,http://x\nCaf\xE9 FM,http://y\x80\n"),
        QStringList({QStringLiteral("Café FM,http://x"), QStringLiteral("Café FM,http://y€")}));
    // Length counts characters: 8 two-byte characters are still too short, and a character
    // outside the basic plane counts once.
    QVERIFY(parseSourceLines("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9")
                .isEmpty());
    QVERIFY(parseSourceLines("1234567\xF0\x9F\x8E\xB5").isEmpty());
    QCOMPARE(parseSourceLines("12345678\xF0\x9F\x8E\xB5").size(), 1);
}

void TestSources::fileErrors() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("orvaneplayer.ini"));
    try {
        readSourceLines(path);
        QFAIL("a missing file must raise an error");
    } catch (const RuntimeError& e) {
        QCOMPARE(e.number(), 53);
        QCOMPARE(e.description(), QStringLiteral("File not found"));
    }
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("orvaneplayer.ini")));
    try {
        readSourceLines(path);
        QFAIL("a directory must raise an error");
    } catch (const RuntimeError& e) {
        QCOMPARE(e.number(), 75);
    }
    QVERIFY(QDir(dir.path()).rmdir(QStringLiteral("orvaneplayer.ini")));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("Station A,http://127.0.0.1/a\r\nStation B,http://127.0.0.1/b");
    f.close();
    QCOMPARE(readSourceLines(path).size(), 2);
}

void TestSources::split_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("url");
    QTest::newRow("plain") << "Radio One,stream-address"
                           << "Radio One"
                           << "stream-address";
    QTest::newRow("more commas") << "A,b,c,d"
                                 << "A"
                                 << "bcd";
    QTest::newRow("blanks kept") << " Name , url "
                                 << " Name "
                                 << " url ";
    QTest::newRow("no comma") << "Just a name"
                              << "Just a name"
                              << "";
    QTest::newRow("leading comma") << ",http://x"
                                   << ""
                                   << "http://x";
    QTest::newRow("trailing comma") << "Name,"
                                    << "Name"
                                    << "";
    QTest::newRow("empty") << ""
                           << ""
                           << "";
}

void TestSources::split() {
    QFETCH(QString, text);
    QFETCH(QString, name);
    QFETCH(QString, url);
    const SourceLine s = splitSourceLine(text);
    QCOMPARE(s.name, name);
    QCOMPARE(s.url, url);
}

QTEST_GUILESS_MAIN(TestSources)
#include "tst_sources.moc"
