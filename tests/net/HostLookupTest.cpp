#include "net/HostLookup.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include "tests/net/NetTestSupport.h"

using namespace nettest;

namespace {

TEST(HostLookupTest, AnswersComeFromTheEventLoop) {
    TResolverSeams seams;
    THostLookup::SetResolver([](const std::string& host) -> THostLookup::TResult {
        if (host == "known.test") return {0, htonl(0x0A000002)};
        return {EAI_NONAME, 0};
    });
    struct Case {
        const char* host;
        THostLookup::TResult expected;
    } cases[] = {
        {"known.test", {0, htonl(0x0A000002)}},
        {"192.168.1.20", {0, htonl(0xC0A80114)}},  // an address gives itself, no resolver
        {"other.test", {EAI_NONAME, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        bool done = false;
        THostLookup::TResult got{1, 1};
        auto lookup = THostLookup::Start(c.host, [&](const THostLookup::TResult& r) {
            got = r;
            done = true;
        });
        EXPECT_FALSE(done) << "never inside Start";
        ASSERT_TRUE(WaitUntil([&] { return done; }));
        EXPECT_EQ(got.Code, c.expected.Code);
        EXPECT_EQ(got.Address, c.expected.Address);
    }
}

TEST(HostLookupTest, DroppedLookupsNeverAnswer) {
    TResolverSeams seams;
    int answers = 0;
    auto cancelled = THostLookup::Start("a.stuck", [&](const auto&) { ++answers; });
    auto dropped = THostLookup::Start("b.stuck", [&](const auto&) { ++answers; });
    auto posted = THostLookup::Start("127.0.0.1", [&](const auto&) { ++answers; });
    cancelled->Cancel();
    dropped.reset();
    posted.reset();  // its answer was already waiting in the event queue
    seams.Stuck->Release();
    testsupport::ProcessEventsFor(100);
    EXPECT_EQ(answers, 0);
}

}  // namespace
