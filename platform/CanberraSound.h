#pragma once

#include "platform/Sound.h"

struct ca_context;

// Arrival sounds through libcanberra. The library is loaded and the context
// made at the first sound, so a program that never plays one never touches
// the sound system. Playing is asynchronous; every failure is silence (a
// missing library too).
class TCanberraSound : public ISoundPlayer {
public:
    TCanberraSound() = default;
    ~TCanberraSound() override;
    TCanberraSound(const TCanberraSound&) = delete;
    TCanberraSound& operator=(const TCanberraSound&) = delete;

    // The sound theme's "message-new-instant" event, or its "bell" when the
    // theme has no sound for that.
    void Beep() override;
    // Stops a file still playing from an earlier call, then plays Path.
    void PlayFile(const std::string& Path) override;

    static constexpr const char* MessageEvent = "message-new-instant";
    static constexpr const char* FallbackEvent = "bell";

protected:
    // Plays a theme event; libcanberra's status (CA_ERROR_NOTFOUND, -9, when
    // the theme has no such sound). Tests replace it.
    virtual int PlayEvent(const char* EventId);

private:
    ca_context* Context();

    ca_context* FContext = nullptr;
    bool FFailed = false;
};
