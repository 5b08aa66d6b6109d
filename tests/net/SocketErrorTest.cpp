#include "net/SocketError.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <thread>

namespace {

TEST(SocketErrorTest, MessagesCarryThePlatformText) {
    struct Case {
        int code;
        const char* api;
        const char* message;
    } cases[] = {
        {ECONNREFUSED, "connect",
         "Windows socket error: Connection refused (111), on API 'connect'"},
        {EADDRINUSE, "bind", "Windows socket error: Address already in use (98), on API 'bind'"},
        {EAI_NONAME, "ASync Lookup",
         "Windows socket error: Name or service not known (-2), on API 'ASync Lookup'"},
    };
    for (const Case& c : cases) {
        const ESocketError e = SocketApiError(c.code, c.api);
        EXPECT_EQ(e.Message(), c.message);
        EXPECT_EQ(e.HelpContext(), 0);
    }
}

int hooked = 0;
void RecordingHook(int code) {
    hooked = code;
}

TEST(SocketErrorTest, FailedCallsGoToThisThreadsHookOrRaise) {
    hooked = 0;
    EXPECT_EQ(SetSocketFailureHook(RecordingHook), nullptr);
    SocketCallFailed(EINPROGRESS, "connect");  // would-block: no failure
    SocketCallFailed(EAGAIN, "connect");
    EXPECT_EQ(hooked, 0);
    SocketCallFailed(EACCES, "bind");
    EXPECT_EQ(hooked, EACCES) << "the hook returned: the caller carries on";

    // Another thread has no hook of its own.
    std::string raised;
    std::thread([&] {
        try {
            SocketCallFailed(ENOTCONN, "getpeername");
        } catch (const ESocketError& e) {
            raised = e.Message();
        }
    }).join();
    EXPECT_EQ(raised, SocketApiError(ENOTCONN, "getpeername").Message());

    EXPECT_EQ(SetSocketFailureHook(nullptr), RecordingHook);
    EXPECT_THROW(SocketCallFailed(EACCES, "listen"), ESocketError);
}

}  // namespace
