#pragma once

#include <cerrno>
#include <string>

#include "platform/Exceptions.h"

// What went wrong, as the error events report it. Handlers switch on these
// values, so they are fixed.
enum TSocketErrorKind {
    ekGeneral = 0,
    ekSend = 1,
    ekReceive = 2,
    ekConnect = 3,
    ekDisconnect = 4,
    ekAccept = 5,
};

// Raised by the socket layer itself with help context 0.
class ESocketError : public Exception {
public:
    using Exception::Exception;
};

// The platform's error codes that the program looks at by name.
namespace SocketCode {
constexpr int WouldBlock = EWOULDBLOCK;  // also EAGAIN and EINPROGRESS, see IsWouldBlock
constexpr int AddressInUse = EADDRINUSE;
constexpr int ConnectionRefused = ECONNREFUSED;

inline bool IsWouldBlock(int code) {
    return code == EWOULDBLOCK || code == EAGAIN || code == EINPROGRESS;
}
}  // namespace SocketCode

// The platform's text for an error code: strerror's for errno values, the
// resolver's (gai_strerror) for the negative codes of a failed host lookup.
std::string SocketErrorText(int code);

// "Windows socket error: %s (%d), on API '%s'"
ESocketError SocketApiError(int code, const std::string& api);

// A per-thread procedure called with the error code of a failed guarded call
// (bind, listen, connect, close, peer query, host lookup start and cancel).
// If it returns, the layer carries on as though the call had succeeded.
using TSocketFailureHook = void (*)(int ErrorCode);

// A guarded call failed with Code: a would-block code is no failure and is
// ignored; otherwise the thread's hook gets the code and, when there is no
// hook, SocketApiError(Code, Api) is raised. Returns when the call counts as
// done (the hook returned).
void SocketCallFailed(int Code, const std::string& Api);

// Installs the hook for the calling thread; returns the one it replaces.
TSocketFailureHook SetSocketFailureHook(TSocketFailureHook Hook);
TSocketFailureHook SocketFailureHook();
