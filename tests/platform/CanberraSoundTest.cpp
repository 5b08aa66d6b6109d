#include <gtest/gtest.h>

#include <chrono>

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
}  // namespace
