#pragma once

// Shared by the talk session's and the talk window's tests.

#include <netdb.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/HostLookup.h"
#include "tests/net/NetTestSupport.h"

namespace talktest {

using Rows = std::vector<std::string>;

const std::string Local = "localhost (127.0.0.1)";

// What a caller gets when this side already holds a session.
inline std::string Refusal() {
    char host[257] = {};
    ::gethostname(host, 256);
    return std::string("Error from ") + host +
           " (127.0.0.1): This machine have another connection already active.\r\n";
}

inline bool KeepsAlive(int Fd) {
    int on = 0, idle = 0;
    socklen_t len = sizeof on;
    ::getsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &on, &len);
    len = sizeof idle;
    ::getsockopt(Fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len);
    return on && idle > 0 && idle <= 120;
}

// Forward lookups: names ending ".stuck" wait until released, then give
// 127.0.0.1; names ending ".invalid" do not resolve; others as the system says.
struct Resolvers {
    Resolvers() {
        THostLookup::SetResolver([stuck = stuck](const std::string& host) {
            if (host.ends_with(".stuck")) {
                stuck->Wait();
                return THostLookup::ResolveWithSystem("127.0.0.1");
            }
            if (host.ends_with(".invalid")) return THostLookup::TResult{EAI_NONAME, 0};
            return THostLookup::ResolveWithSystem(host);
        });
    }
    ~Resolvers() {
        stuck->Release();
        THostLookup::SetResolver(nullptr);
    }
    std::shared_ptr<nettest::TStuckResolver> stuck = std::make_shared<nettest::TStuckResolver>();
};

}  // namespace talktest
