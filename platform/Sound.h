#pragma once

#include <string>

// Arrival sounds. Both calls return at once; anything that cannot be played
// (no sound system, a missing or unreadable file) is silence, never an error.
class ISoundPlayer {
public:
    virtual ~ISoundPlayer() = default;
    // The desktop's default beep.
    virtual void Beep() = 0;
    // Plays a sound file in the background; nothing is played in its place
    // when it cannot be played.
    virtual void PlayFile(const std::string& Path) = 0;
};
