// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/RuntimeError.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QWindow>
#include <cstdio>
#include <cstdlib>

namespace orvane {

namespace {

ErrorHandler g_handler = nullptr;
bool g_held = false;

// Drops what a nested event loop would deliver to the program behind a dialog.
class HoldOutside final : public QObject {
  public:
    explicit HoldOutside(QDialog& dialog) : m_dialog(&dialog) {}

    bool eventFilter(QObject* receiver, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Timer:
            case QEvent::MetaCall:
            case QEvent::SockAct:
            case QEvent::SockClose:
                return !inside(receiver);
            default:
                return false;
        }
    }

  private:
    bool inside(const QObject* o) const {
        if (!m_dialog.isNull() && o == static_cast<const QObject*>(m_dialog->windowHandle())) {
            return true;
        }
        for (; o != nullptr; o = o->parent()) {
            if (o == m_dialog) {
                return true;
            }
        }
        return false;
    }

    QPointer<QDialog> m_dialog;
};

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
        execAlone(box);
    }
    endProgram(1);
}

void endProgram(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

bool handlersHeld() noexcept {
    return g_held;
}

int execAlone(QDialog& dialog) {
    HoldOutside hold(dialog);
    QCoreApplication::instance()->installEventFilter(&hold);
    const bool wasHeld = std::exchange(g_held, true);
    const int result = dialog.exec();
    g_held = wasHeld;
    QCoreApplication::instance()->removeEventFilter(&hold);
    return result;
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
