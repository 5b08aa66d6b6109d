#include "dist/Chime.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace chime {
namespace {

constexpr double Length = 0.75;   // seconds
constexpr double Attack = 0.004;  // a ramp this long avoids a click at each onset
constexpr double FadeOut = 0.04;  // the end reaches silence exactly
constexpr double Peak = 0.45;     // of full scale: audible, never harsh

struct TNote {
    double Start;      // seconds
    double Frequency;  // Hz
    double Level;
};

// A falling major third, like a doorbell: E6 then C6.
constexpr TNote Notes[] = {{0.0, 1318.51, 1.0}, {0.16, 1046.50, 0.9}};

// A struck bell-like tone: the fundamental rings longest, the overtones die
// away sooner.
double Tone(const TNote& Note, double t) {
    if (t < 0) return 0;
    struct {
        double Multiple, Level, Decay;
    } const partials[] = {{1.0, 1.0, 0.20}, {2.0, 0.30, 0.08}, {3.0, 0.10, 0.05}};
    double v = 0;
    for (const auto& p : partials)
        v += p.Level * std::exp(-t / p.Decay) *
             std::sin(2 * std::numbers::pi * Note.Frequency * p.Multiple * t);
    const double attack = std::min(1.0, t / Attack);
    return Note.Level * attack * v;
}

void PutLE(std::string& Out, std::uint32_t Value, int Bytes) {
    for (int i = 0; i < Bytes; ++i) Out += static_cast<char>((Value >> (8 * i)) & 0xFF);
}

}  // namespace

std::vector<std::int16_t> Samples() {
    const int count = static_cast<int>(Length * SampleRate);
    std::vector<double> mix(static_cast<std::size_t>(count));
    double loudest = 0;
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / SampleRate;
        double v = 0;
        for (const TNote& note : Notes) v += Tone(note, t - note.Start);
        const double left = static_cast<double>(count - 1 - i) / SampleRate;
        if (left < FadeOut) v *= left / FadeOut;
        mix[static_cast<std::size_t>(i)] = v;
        loudest = std::max(loudest, std::abs(v));
    }
    std::vector<std::int16_t> samples(mix.size());
    const double scale = loudest > 0 ? Peak * 32767 / loudest : 0;
    for (std::size_t i = 0; i < mix.size(); ++i)
        samples[i] = static_cast<std::int16_t>(std::lround(mix[i] * scale));
    return samples;
}

std::string Wav(const std::vector<std::int16_t>& Samples, int Rate) {
    const std::uint32_t dataSize = static_cast<std::uint32_t>(Samples.size() * 2);
    std::string out;
    out.reserve(44 + dataSize);
    out += "RIFF";
    PutLE(out, 36 + dataSize, 4);
    out += "WAVEfmt ";
    PutLE(out, 16, 4);  // format chunk size
    PutLE(out, 1, 2);   // PCM
    PutLE(out, 1, 2);   // mono
    PutLE(out, static_cast<std::uint32_t>(Rate), 4);
    PutLE(out, static_cast<std::uint32_t>(Rate) * 2, 4);  // bytes per second
    PutLE(out, 2, 2);                                     // bytes per frame
    PutLE(out, 16, 2);                                    // bits per sample
    out += "data";
    PutLE(out, dataSize, 4);
    for (const std::int16_t s : Samples) PutLE(out, static_cast<std::uint16_t>(s), 2);
    return out;
}

}  // namespace chime
