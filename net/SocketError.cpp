#include "net/SocketError.h"

#include <netdb.h>

#include <cstring>

namespace {
thread_local TSocketFailureHook ThreadHook = nullptr;
}

std::string SocketErrorText(int code) {
    // Resolver codes (getaddrinfo's EAI_*) are negative, errno values positive.
    if (code < 0) return gai_strerror(code);
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not be in buffer.
    return strerror_r(code, buffer, sizeof buffer);
}

ESocketError SocketApiError(int code, const std::string& api) {
    return ESocketError("Windows socket error: " + SocketErrorText(code) + " (" +
                        std::to_string(code) + "), on API '" + api + "'");
}

void SocketCallFailed(int Code, const std::string& Api) {
    if (SocketCode::IsWouldBlock(Code)) return;
    if (ThreadHook) {
        ThreadHook(Code);
        return;
    }
    throw SocketApiError(Code, Api);
}

TSocketFailureHook SetSocketFailureHook(TSocketFailureHook Hook) {
    TSocketFailureHook previous = ThreadHook;
    ThreadHook = Hook;
    return previous;
}

TSocketFailureHook SocketFailureHook() {
    return ThreadHook;
}
