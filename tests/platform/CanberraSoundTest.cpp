#include <gtest/gtest.h>

#include <canberra.h>
#include <dlfcn.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/CanberraSound.h"
#include "tests/support/TestSupport.h"

namespace {
// Whatever the machine has in the way of sound, every call returns at once.
TEST(CanberraSound, CallsReturnAtOnceAndNeverFail) {
    TCanberraSound sound;
    const std::string missing = testsupport::TempDir() + "/missing.wav";
    const std::string notSound = testsupport::TempDir() + "/not-sound.wav";
    testsupport::WriteFile(notSound, "RIFF garbage");
    const std::function<void()> calls[] = {
        [&] { sound.Beep(); },
        [&] { sound.PlayFile(missing); },
        [&] { sound.PlayFile(notSound); },
        [&] { sound.PlayFile(""); },
        [&] { sound.Beep(); },
    };
    for (const auto& call : calls) {
        const auto start = std::chrono::steady_clock::now();
        call();
        // Far below any sound's length, with room for a busy machine.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    }
}
// The library is not linked: the first sound loads it, with every call the
// player makes, whether or not the machine can play anything.
TEST(CanberraSound, TheFirstSoundLoadsTheLibrary) {
    TCanberraSound sound;
    sound.PlayFile(testsupport::TempDir() + "/missing.wav");
    void* loaded = ::dlopen("libcanberra.so.0", RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(loaded, nullptr);
    if (loaded) ::dlclose(loaded);
}

// The message sound comes from the desktop's sound theme; a theme without it
// still rings its bell.
TEST(CanberraSound, DefaultSoundIsTheThemesMessageEventElseItsBell) {
    struct Recording : TCanberraSound {
        std::vector<int> answers;  // what each play returns, in turn
        std::vector<std::string> played;
        int PlayEvent(const char* EventId) override {
            played.push_back(EventId);
            return played.size() <= answers.size() ? answers[played.size() - 1] : CA_SUCCESS;
        }
    };
    const struct {
        std::vector<int> answers;
        std::vector<std::string> played;
    } cases[] = {
        {{CA_SUCCESS}, {"message-new-instant"}},
        {{CA_ERROR_NOTFOUND}, {"message-new-instant", "bell"}},
        {{CA_ERROR_NOTFOUND, CA_ERROR_NOTFOUND}, {"message-new-instant", "bell"}},
        // No sound system at all: the bell would fail the same way.
        {{CA_ERROR_NOTAVAILABLE}, {"message-new-instant"}},
        {{CA_ERROR_DISABLED}, {"message-new-instant"}},
    };
    for (const auto& c : cases) {
        Recording sound;
        sound.answers = c.answers;
        sound.Beep();
        EXPECT_EQ(sound.played, c.played) << c.answers.front();
    }
}
}  // namespace
