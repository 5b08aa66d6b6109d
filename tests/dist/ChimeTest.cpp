#include "dist/Chime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "tests/support/TestSupport.h"

namespace {

std::uint32_t LE(const std::string& Bytes, std::size_t At, int Size) {
    std::uint32_t value = 0;
    for (int i = Size - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(Bytes[At + static_cast<std::size_t>(i)]);
    return value;
}

TEST(Chime, IsAShortQuietFadingSound) {
    const auto samples = chime::Samples();
    const double seconds = static_cast<double>(samples.size()) / chime::SampleRate;
    EXPECT_GE(seconds, 0.3);
    EXPECT_LE(seconds, 1.5);

    int peak = 0;
    for (const std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    // Loud enough to notice, with room below full scale (no clipping).
    EXPECT_GE(peak, 32767 * 3 / 10);
    EXPECT_LE(peak, 32767 * 6 / 10);

    // Starts and ends in silence, so neither end clicks.
    EXPECT_EQ(samples.front(), 0);
    EXPECT_EQ(samples.back(), 0);
    const std::size_t tail = chime::SampleRate / 100;
    for (std::size_t i = samples.size() - tail; i < samples.size(); ++i)
        EXPECT_LE(std::abs(static_cast<int>(samples[i])), peak / 20) << i;

    // A sound, not a click: half of the run still carries the tone.
    std::size_t audible = 0;
    for (const std::int16_t s : samples) audible += std::abs(static_cast<int>(s)) > peak / 50;
    EXPECT_GT(audible, samples.size() / 4);
}

TEST(Chime, WavHeaderDescribesTheSamples) {
    const std::vector<std::int16_t> samples = {0, 1, -1, 32767, -32768, 0};
    const std::string wav = chime::Wav(samples, 22050);
    ASSERT_EQ(wav.size(), 44u + 12u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(LE(wav, 4, 4), wav.size() - 8);
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
    const struct {
        std::size_t at;
        int size;
        std::uint32_t value;
    } fields[] = {
        {16, 4, 16},         // format chunk size
        {20, 2, 1},          // PCM
        {22, 2, 1},          // mono
        {24, 4, 22050},      // sample rate
        {28, 4, 22050 * 2},  // bytes per second
        {32, 2, 2},          // bytes per frame
        {34, 2, 16},         // bits per sample
        {40, 4, 12},         // data size
    };
    for (const auto& f : fields) EXPECT_EQ(LE(wav, f.at, f.size), f.value) << f.at;
    EXPECT_EQ(wav.substr(36, 4), "data");
    // Little-endian two's complement samples.
    EXPECT_EQ(wav.substr(44), std::string("\x00\x00\x01\x00\xff\xff\xff\x7f\x00\x80\x00\x00", 12));
}

TEST(Chime, BuildShipsTheGeneratedFile) {
    const std::string built = testsupport::ReadFile(testsupport::BuildDir() + "/message.wav");
    EXPECT_TRUE(built == chime::Wav(chime::Samples())) << "build/message.wav is stale or missing";
}

}  // namespace
