// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <exception>
#include <string>
#include <utility>

class QDialog;

namespace orvane {

// A numbered run-time error, the way the old form engine reported a failing operation: a number
// and a fixed text ("Run-time error '53': File not found"). Handlers never catch it; the one
// dispatch wrapper below hands it to the default handler, which reports it and ends the program.
class RuntimeError : public std::exception {
  public:
    explicit RuntimeError(int number);
    RuntimeError(int number, QString description);

    int number() const noexcept { return m_number; }
    const QString& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_what.c_str(); }

    // The standard text of an error number ("File not found" for 53).
    static QString standardText(int number);

  private:
    int m_number;
    QString m_description;
    std::string m_what;
};

// Error numbers the program raises.
namespace err {
inline constexpr int Overflow = 6;
inline constexpr int TypeMismatch = 13;
inline constexpr int InternalError = 51;
inline constexpr int FileNotFound = 53;
inline constexpr int PathFileAccess = 75;
inline constexpr int InvalidPropertyValue = 380;
}  // namespace err

// "Run-time error 'N': text"
QString runtimeErrorMessage(const RuntimeError& e);

// Writes the message to standard error, shows it in a modal box titled "Orvane Player" when a
// display exists, and ends the process at once with a non-zero status. Never returns.
[[noreturn]] void defaultErrorHandler(const RuntimeError& e);

// Ends the process at once with `status`: no further event, timer tick or queued call of any
// object runs, and the system closes open files. Standard output and error are flushed first.
[[noreturn]] void endProgram(int status);

// Runs a modal dialog while nothing else of the program runs: the dialog's own loop would
// otherwise deliver timer ticks, queued calls and socket notifications to everything else. Those
// meant for objects outside the dialog are dropped (the program ends after the box), and
// dispatch() runs no handler until the dialog is done. Returns the dialog's result.
int execAlone(QDialog& dialog);

// True while execAlone() runs.
bool handlersHeld() noexcept;

// Tests replace the handler so that they can see the error without the process ending. The
// replacement may return; dispatch() then simply returns too.
using ErrorHandler = void (*)(const RuntimeError&);
ErrorHandler setErrorHandler(ErrorHandler handler);

void reportRuntimeError(const RuntimeError& e);

// Every event, slot and timer handler is entered through here, so that Qt never sees an
// exception: a run-time error goes to the error handler, and anything else is reported as an
// internal error the same way. While an error is being reported, no handler runs.
template <typename F>
void dispatch(F&& handler) noexcept {
    if (handlersHeld()) {
        return;
    }
    try {
        std::forward<F>(handler)();
    } catch (const RuntimeError& e) {
        reportRuntimeError(e);
    } catch (const std::exception& e) {
        reportRuntimeError(RuntimeError(err::InternalError, QString::fromLocal8Bit(e.what())));
    } catch (...) {
        reportRuntimeError(RuntimeError(err::InternalError));
    }
}

}  // namespace orvane
