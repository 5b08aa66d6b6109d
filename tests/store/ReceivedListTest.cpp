#include "store/ReceivedList.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/TextCodec.h"
#include "tests/store/StoreTestSupport.h"

namespace {
namespace fs = std::filesystem;
using namespace std::string_literals;
using testsupport::ReadFile;
using testsupport::WriteFile;

// Twenty entries of every kind of byte, about 3 kB in all.
TStringList Filled(TReceivedList& List) {
    TStringList plain;
    for (int i = 0; i < 20; ++i) {
        const TStringList entry =
            storetest::Entry(std::string(size_t(40 + i * 7), char('a' + i)) + "\0hidden\r\r\n"s +
                             std::to_string(i));
        List.Append(entry);
        Append(plain, entry);
    }
    return plain;
}

TEST(ReceivedList, PastItsBudgetItSpillsToAPrivateFileAndLosesNothing) {
    const std::string dir = storetest::NewFolder("spill") + "/cache/wexlo";
    const std::string path = dir + "/received.spill";
    std::string spilled;
    {
        TReceivedList list(1000, path);
        const TStringList plain = Filled(list);
        EXPECT_LE(list.MemoryBytes(), 1000u);
        ASSERT_EQ(list.SpillFile(), path);
        EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_TRUE(list == plain);

        // What a viewer maps: every item up to its NUL, each ended by CR LF.
        std::string expected;
        for (const std::string& item : plain) expected += std::string(UpToNul(item)) + "\r\n";
        const TReceivedText text(list, dir);
        EXPECT_EQ(ReadFile("/proc/self/fd/" + std::to_string(text.Fd())), expected);

        // A spill that fails keeps the items in memory.
        storetest::FileFaults faults;
        faults.writeError = ENOSPC;
        const TStringList more = storetest::Entry(std::string(2000, 'z'));
        list.Append(more);
        EXPECT_GT(list.MemoryBytes(), 2000u);
        faults.writeError = 0;
        list.SetBudget(1000);
        EXPECT_LE(list.MemoryBytes(), 1000u) << "spilled at the next chance";
        TStringList all = plain;
        Append(all, more);
        EXPECT_TRUE(list == all) << "nothing lost";

        list.clear();
        EXPECT_FALSE(fs::exists(path)) << "cleared, nothing is left on disk";
        // Just at its budget, a list keeps everything in memory.
        list.SetBudget(std::size_t(1) << 20);
        list.Append(more);
        list.SetBudget(list.MemoryBytes());
        EXPECT_FALSE(fs::exists(path)) << "spilled at the budget, not past it";
        Filled(list);
        spilled = list.SpillFile();
    }
    EXPECT_FALSE(fs::exists(spilled)) << "removed when the list goes";
}

TEST(ReceivedList, WhatIsAtTheSpillPathIsNeverFollowedAndOnlyOurLeftoverIsReplaced) {
    const struct {
        const char* name;
        void (*make)(const std::string& Path, const std::string& Victim);
        bool taken;  // the path itself is used
    } cases[] = {
        {"leftover of a run that died", [](auto& P, auto&) { WriteFile(P, "old text"); }, true},
        {"link to a user's file", [](auto& P, auto& V) { fs::create_symlink(V, P); }, false},
        {"folder", [](auto& P, auto&) { fs::create_directory(P); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = storetest::NewFolder("foreign");
        const std::string path = dir + "/received.spill", victim = dir + "/victim";
        WriteFile(victim, "keep me");
        c.make(path, victim);
        TReceivedList list(10, path);
        Filled(list);
        EXPECT_EQ(list.SpillFile(), c.taken ? path : path + ".1");
        EXPECT_EQ(ReadFile(victim), "keep me");
    }

    // A live copy's file is left to it.
    const std::string path = storetest::NewFolder("live") + "/received.spill";
    TReceivedList first(10, path), second(10, path);
    const TStringList plain = Filled(first);
    Filled(second);
    EXPECT_EQ(second.SpillFile(), path + ".1");
    EXPECT_TRUE(first == plain);
}

}  // namespace
