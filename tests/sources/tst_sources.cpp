// SPDX-License-Identifier: GPL-3.0-or-later
#include <QTemporaryDir>
#include <QtTest>

#include "platform/RuntimeError.h"
#include "sources/SourceList.h"

using namespace orvane;

namespace {

// The error number readSourceLines raises (0 for none), with the lines or the description.
std::pair<int, QStringList> readList(const QString& path) {
    try {
        return {0, readSourceLines(path)};
    } catch (const RuntimeError& e) {
        return {e.number(), {e.description()}};
    }
}

}  // namespace

class TestSources : public QObject {
    Q_OBJECT
  private slots:
    void lineEndsAndLengths() {
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
    }
    void encodings() {
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
    // A line that holds a control character, or that the list could not hold whole, is refused
    // (skipped and counted); the lines around it are read as usual, and short lines are skipped as
    // ever without counting.
    void refusedLines() {
        const std::pair<QByteArray, bool> rows[] = {
            {QByteArray("Station,http://host/stream.mp3\0/../../secret.pls", 48), false},
            {"Sta\ttion,http://host/a", false},
            {"Station,http://host/\x7F", false},
            {"Station,http://host/\xC2\x85", false},  // C1 in UTF-8
            {"Station,http://host/\x81\xE9", false},  // C1 from Windows-1252
            {"Station," + QByteArray(32767 - 8, 'u'), true},
            {"Station," + QByteArray(32768 - 8, 'u'), false},
            {"Station," + QByteArray(32767 - 10, 'u') + "\xF0\x9F\x8E\xB5",
             true},                                                   // a pair ends it
            {QByteArray("\xF0\x9F\x8E\xB5").repeated(16384), false},  // 32,768 UTF-16 units
            {QByteArray("a\0b", 3), false}};
        for (const auto& [line, listed] : rows) {
            qsizetype refused = -1;
            const QStringList lines =
                parseSourceLines("Before,http://a/1\n" + line + "\r\nAfter,http://a/2", &refused);
            QCOMPARE(lines.first() + lines.last(),
                     QStringLiteral("Before,http://a/1After,http://a/2"));
            QCOMPARE(QList<qsizetype>({lines.size(), refused}),
                     QList<qsizetype>({listed ? 3 : 2, listed || line.size() < 9 ? 0 : 1}));
        }
    }
    void onlyRegularFilesUpTo1MiBAreRead() {
        QTemporaryDir dir;
        const auto path = [&dir](const char* name) { return dir.filePath(QLatin1String(name)); };
        // Exactly 1 MiB is read, also through a link.
        const QByteArray line = "Station,http://127.0.0.1/a\n";
        QFile file(path("list.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(line.repeated(1048576 / line.size()).leftJustified(1048576, '\n')),
                 1048576);
        file.close();
        const auto [ok, lines] = readList(path("list.ini"));
        QCOMPARE(ok, 0);
        QCOMPARE(lines.size(), 1048576 / line.size());
        QVERIFY(QFile::link(path("list.ini"), path("link.ini")));
        QCOMPARE(readList(path("link.ini")).first, 0);
        // One byte more is an error, whatever the file holds (here a sparse file).
        QVERIFY(file.resize(1048577));
        const auto [error, description] = readList(file.fileName());
        QCOMPARE(error, 75);
        QVERIFY2(description.join(' ').contains(QLatin1String("larger than 1 MiB")),
                 qPrintable(description.join(' ')));
        QVERIFY(file.resize(qint64(1) << 30));
        QCOMPARE(readList(file.fileName()).first, 75);
        // A missing file and a FIFO are refused at start-up (startup_errors.sh); a dangling
        // link is a missing file, and a folder or a device behind a link are not regular files.
        QVERIFY(QFile::link(path("missing.ini"), path("dangling.ini")));
        QCOMPARE(readList(path("dangling.ini")).first, 53);
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.ini")));
        QCOMPARE(readList(path("folder.ini")).first, 75);
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path("zero.ini")));
        QCOMPARE(readList(path("zero.ini")).first, 75);
    }
    void split() {
        // Name before the first comma, URL after it without further commas; blanks are kept.
        // A plain line and one without a comma are played from the list in test_watchdog.
        const char* const rows[][3] = {{"A,b,c,d", "A", "bcd"},
                                       {" Name , url ", " Name ", " url "},
                                       {",http://x", "", "http://x"},
                                       {"Name,", "Name", ""}};
        for (const auto& row : rows) {
            const SourceLine s = splitSourceLine(QString::fromUtf8(row[0]));
            QCOMPARE(QStringList({s.name, s.url}), QStringList({row[1], row[2]}));
        }
    }
};

QTEST_GUILESS_MAIN(TestSources)
#include "tst_sources.moc"
