#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The program's own arrival sound: a short two-note chime, computed here so
// that every sample of the shipped file comes from this code.
namespace chime {

constexpr int SampleRate = 22050;

// Mono samples, starting and ending in silence.
std::vector<std::int16_t> Samples();

// A canonical 16-bit PCM mono WAV file holding Samples.
std::string Wav(const std::vector<std::int16_t>& Samples, int Rate = SampleRate);

}  // namespace chime
