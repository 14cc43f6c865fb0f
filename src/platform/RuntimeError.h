// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <exception>
#include <string>
#include <utility>

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
inline constexpr int InvalidProcedureCall = 5;
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

// Tests replace the handler so that they can see the error without the process ending. The
// replacement may return; dispatch() then simply returns too.
using ErrorHandler = void (*)(const RuntimeError&);
ErrorHandler setErrorHandler(ErrorHandler handler);

void reportRuntimeError(const RuntimeError& e);

// Every event, slot and timer handler is entered through here, so that Qt never sees an
// exception: a run-time error goes to the error handler, and anything else is reported as an
// internal error the same way.
template <typename F>
void dispatch(F&& handler) noexcept {
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
