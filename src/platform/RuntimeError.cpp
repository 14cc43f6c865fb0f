// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/RuntimeError.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

namespace orvane {

namespace {

ErrorHandler g_handler = nullptr;

bool displayExists() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return false;
    }
    // The offscreen and minimal platforms draw nowhere: a modal box there would wait forever
    // for a click that cannot come.
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

}  // namespace

RuntimeError::RuntimeError(int number) : RuntimeError(number, standardText(number)) {}

RuntimeError::RuntimeError(int number, QString description)
    : m_number(number),
      m_description(std::move(description)),
      m_what(runtimeErrorMessage(*this).toStdString()) {}

QString RuntimeError::standardText(int number) {
    switch (number) {
        case err::InvalidProcedureCall:
            return QStringLiteral("Invalid procedure call or argument");
        case err::Overflow:
            return QStringLiteral("Overflow");
        case err::TypeMismatch:
            return QStringLiteral("Type mismatch");
        case err::InternalError:
            return QStringLiteral("Internal error");
        case err::FileNotFound:
            return QStringLiteral("File not found");
        case err::PathFileAccess:
            return QStringLiteral("Path/File access error");
        case err::InvalidPropertyValue:
            return QStringLiteral("Invalid property value");
        default:
            return QStringLiteral("Application-defined or object-defined error");
    }
}

QString runtimeErrorMessage(const RuntimeError& e) {
    return QStringLiteral("Run-time error '%1': %2").arg(e.number()).arg(e.description());
}

void defaultErrorHandler(const RuntimeError& e) {
    const QString text = runtimeErrorMessage(e);
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    if (displayExists()) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Orvane Player"), text,
                        QMessageBox::Ok);
        box.exec();
    }
    // At once: no further event of any window or timer may run.
    std::_Exit(1);
}

ErrorHandler setErrorHandler(ErrorHandler handler) {
    ErrorHandler previous = g_handler;
    g_handler = handler;
    return previous;
}

void reportRuntimeError(const RuntimeError& e) {
    if (g_handler != nullptr) {
        g_handler(e);
        return;
    }
    defaultErrorHandler(e);
}

}  // namespace orvane
