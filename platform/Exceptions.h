#pragma once

#include <exception>
#include <functional>
#include <string>

class QObject;

// The program's error currency: a message and an integer help context, carried
// by exception from wherever a failure happens to the one application handler.
class Exception : public std::exception {
public:
    explicit Exception(std::string message, int helpContext = 0)
        : FMessage(std::move(message)), FHelpContext(helpContext) {}

    const std::string& Message() const { return FMessage; }
    int HelpContext() const { return FHelpContext; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
    int FHelpContext;
};

// Raised to abandon an operation without telling the user anything.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

// The application's exception handler: receives every exception that escapes an
// event handler, with the object whose event was being processed.
using TExceptionEvent = std::function<void(QObject* Sender, const Exception& E)>;

// Installs the handler and returns the previous one. Without a handler the
// message is written to standard error.
TExceptionEvent SetExceptionHandler(TExceptionEvent handler);

// To be called from inside a catch block: hands the exception in flight to the
// application's handler. EAbort is dropped; foreign exceptions are wrapped in an
// Exception carrying their text.
void HandleException(QObject* Sender);

// Runs fn and routes anything it throws to the application's handler. Every
// entry point from the event loop (signals, timers, socket notifications) goes
// through here so that no exception ever unwinds through the toolkit.
template <class Fn>
void Guarded(QObject* sender, Fn&& fn) {
    try {
        fn();
    } catch (...) {
        HandleException(sender);
    }
}
