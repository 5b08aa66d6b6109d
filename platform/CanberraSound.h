#pragma once

#include "platform/Sound.h"

struct ca_context;

// Arrival sounds through libcanberra. The context is made at the first sound,
// so a program that never plays one never touches the sound system. Playing is
// asynchronous; every failure is silence.
class TCanberraSound : public ISoundPlayer {
public:
    TCanberraSound() = default;
    ~TCanberraSound() override;
    TCanberraSound(const TCanberraSound&) = delete;
    TCanberraSound& operator=(const TCanberraSound&) = delete;

    // The desktop theme's "bell" event.
    void Beep() override;
    // Stops a file still playing from an earlier call, then plays Path.
    void PlayFile(const std::string& Path) override;

private:
    ca_context* Context();

    ca_context* FContext = nullptr;
    bool FFailed = false;
};
