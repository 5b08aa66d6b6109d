#include "net/ReverseLookup.h"

#include <gtest/gtest.h>

#include <atomic>

#include "net/AsyncServerSocket.h"
#include "tests/net/NetTestSupport.h"

using namespace nettest;

namespace {

class ReverseLookupTest : public ::testing::Test {
protected:
    TResolverSeams seams;
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
};

TEST_F(ReverseLookupTest, PeerNameWaitsAtMostOneSecondForAResolverThatHangs) {
    ReverseLookup::SetResolver([r = seams.Reverse, calls = calls](uint32_t) {
        ++*calls;
        r->Wait();  // stands for a resolver that never answers
        return std::string("too-late");
    });
    TAsyncServerSocket server;
    const int port = testsupport::FreeTcpPort();
    server.SetPort(port);
    server.Open();
    RawClient a(port), b(port);
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 2; }));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.ConnectionAt(0)->PeerName(), "");
    const double first = Since(start);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.ConnectionAt(0)->PeerName(), "");
    EXPECT_EQ(server.ConnectionAt(1)->PeerName(), "");
    const double again = Since(start);
    std::cout << "[ measured ] PeerName against a hung resolver: first " << first * 1000
              << " ms, then " << again * 1000 << " ms for two more\n";
    // The bounds tell one wait from none and from the resolver's own hang, with
    // room for a busy machine.
    EXPECT_GT(first, 0.9);
    EXPECT_LT(first, 4.0);
    EXPECT_LT(again, 0.9) << "no second wait";
    EXPECT_EQ(*calls, 1) << "one lookup per address, started at accept";
    EXPECT_EQ(server.ConnectionAt(0)->PeerAddress(), "127.0.0.1");

    // The late answer is kept once it comes.
    seams.Reverse->Release();
    ASSERT_TRUE(WaitUntil([&] { return ReverseLookup::Name(htonl(INADDR_LOOPBACK)) != ""; }));
    EXPECT_EQ(server.ConnectionAt(1)->PeerName(), "too-late");
}

TEST_F(ReverseLookupTest, AnswersAndFailuresAreKeptForTheirLifetime) {
    struct Case {
        const char* answer;
    } cases[] = {{"host.lan"}, {""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        ReverseLookup::Forget();
        *calls = 0;
        ReverseLookup::SetResolver([calls = calls, answer = std::string(c.answer)](uint32_t) {
            ++*calls;
            return answer;
        });
        // The worker may be slow to start on a busy machine: wait for it.
        const auto name = [](uint32_t address) {
            return ReverseLookup::Name(address, std::chrono::seconds(30));
        };
        const uint32_t address = htonl(0x0A000001);
        ReverseLookup::Prefetch(address);
        EXPECT_EQ(name(address), c.answer);
        EXPECT_EQ(name(address), c.answer);
        ReverseLookup::Prefetch(address);
        EXPECT_EQ(*calls, 1);

        // With no lifetime every kept answer is old at once.
        ReverseLookup::SetLifetime(std::chrono::milliseconds(0));
        EXPECT_EQ(name(address), c.answer);
        EXPECT_EQ(*calls, 2) << "an old answer is looked up again";
        ReverseLookup::SetLifetime(ReverseLookup::DefaultLifetime);
    }
}

}  // namespace
