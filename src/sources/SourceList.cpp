// SPDX-License-Identifier: GPL-3.0-or-later
#include "sources/SourceList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "platform/CodePage.h"
#include "platform/RuntimeError.h"

namespace orvane {

namespace {

// Length in characters, not UTF-16 units: a character outside the basic plane counts once.
qsizetype characterCount(QStringView s) {
    qsizetype n = 0;
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (!(s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate())) {
            ++n;
        }
    }
    return n;
}

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

[[noreturn]] void accessError(const QString& fileName, const char* why) {
    throw RuntimeError(err::PathFileAccess,
                       QStringLiteral("%1 (%2 %3)")
                           .arg(RuntimeError::standardText(err::PathFileAccess),
                                QFileInfo(fileName).fileName(), QLatin1String(why)));
}

}  // namespace

LineFault sourceLineFault(QStringView line) {
    if (line.size() > kMaxSourceLineLength) {
        return LineFault::TooLong;
    }
    for (const QChar c : line) {
        if (c.category() == QChar::Other_Control) {
            return LineFault::ControlCharacter;
        }
    }
    return LineFault::None;
}

QStringList parseSourceLines(QByteArrayView content, qsizetype* refused) {
    static constexpr QByteArrayView kBom("\xEF\xBB\xBF");
    if (content.startsWith(kBom)) {
        content = content.sliced(kBom.size());
    }
    QStringList lines;
    qsizetype refusedLines = 0;
    auto take = [&](QByteArrayView raw) {
        QString line = decodeTextLine(raw);
        if (characterCount(line) < kMinSourceLineLength) {
            return;
        }
        if (sourceLineFault(line) != LineFault::None) {
            ++refusedLines;
            return;
        }
        lines.append(std::move(line));
    };
    qsizetype start = 0;
    const qsizetype n = content.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = content[i];
        if (c != '\r' && c != '\n') {
            continue;
        }
        take(content.sliced(start, i - start));
        if (c == '\r' && i + 1 < n && content[i + 1] == '\n') {
            ++i;
        }
        start = i + 1;
    }
    if (start < n) {
        take(content.sliced(start));
    }
    if (refused != nullptr) {
        *refused = refusedLines;
    }
    return lines;
}

QStringList readSourceLines(const QString& fileName) {
    // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer; what
    // it is is then asked of the open file itself, so nothing can swap it in between.
    const FileDescriptor file{
        ::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        // A dangling link is a missing file too.
        if (errno == ENOENT) {
            throw RuntimeError(err::FileNotFound);
        }
        throw RuntimeError(err::PathFileAccess);
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) {
        throw RuntimeError(err::PathFileAccess);
    }
    if (!S_ISREG(st.st_mode)) {
        accessError(fileName, "is not a regular file");
    }
    if (st.st_size > kMaxSourceListBytes) {
        accessError(fileName, "is larger than 1 MiB");
    }
    // The size can change while we read (and some files report none), so the read is bounded
    // by itself: one byte more than allowed tells that the file is too large.
    QByteArray content(kMaxSourceListBytes + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < content.size()) {
        const ssize_t n = ::read(file.fd, content.data() + got, std::size_t(content.size() - got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw RuntimeError(err::PathFileAccess);
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    if (got > kMaxSourceListBytes) {
        accessError(fileName, "is larger than 1 MiB");
    }
    content.truncate(got);
    qsizetype refused = 0;
    QStringList lines = parseSourceLines(content, &refused);
    if (refused > 0) {
        qWarning("%s: %lld line(s) skipped: a control character, or over %lld characters",
                 qPrintable(QFileInfo(fileName).fileName()), static_cast<long long>(refused),
                 static_cast<long long>(kMaxSourceLineLength));
    }
    return lines;
}

SourceLine splitSourceLine(QStringView text) {
    SourceLine out;
    bool inUrl = false;
    for (const QChar c : text) {
        if (c == u',') {
            inUrl = true;
        } else if (inUrl) {
            out.url.append(c);
        } else {
            out.name.append(c);
        }
    }
    return out;
}

}  // namespace orvane
