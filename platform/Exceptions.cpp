#include "Exceptions.h"

#include <cstdio>

namespace {
TExceptionEvent& Handler() {
    static TExceptionEvent handler;
    return handler;
}

void Dispatch(QObject* sender, const Exception& e) {
    if (Handler()) {
        // A handler that fails itself must not take the event loop down with it.
        try {
            Handler()(sender, e);
        } catch (const std::exception& inner) {
            std::fprintf(stderr, "exception in exception handler: %s\n", inner.what());
        } catch (...) {
            std::fprintf(stderr, "unknown exception in exception handler\n");
        }
    } else {
        std::fprintf(stderr, "%s\n", e.Message().c_str());
    }
}
}  // namespace

TExceptionEvent SetExceptionHandler(TExceptionEvent handler) {
    TExceptionEvent previous = std::move(Handler());
    Handler() = std::move(handler);
    return previous;
}

void HandleException(QObject* Sender) {
    try {
        throw;
    } catch (const EAbort&) {
    } catch (const Exception& e) {
        Dispatch(Sender, e);
    } catch (const std::exception& e) {
        Dispatch(Sender, Exception(e.what()));
    } catch (...) {
        Dispatch(Sender, Exception("Unknown exception"));
    }
}
