#include "CanberraSound.h"

#include <canberra.h>

namespace {
constexpr uint32_t BellId = 1;
constexpr uint32_t FileId = 2;
}  // namespace

TCanberraSound::~TCanberraSound() {
    if (FContext) ca_context_destroy(FContext);
}

ca_context* TCanberraSound::Context() {
    if (!FContext && !FFailed) {
        if (ca_context_create(&FContext) != CA_SUCCESS) {
            FContext = nullptr;
            FFailed = true;
            return nullptr;
        }
        ca_context_change_props(FContext, CA_PROP_APPLICATION_NAME, "Wexlo", CA_PROP_APPLICATION_ID,
                                "wexlo", nullptr);
    }
    return FContext;
}

void TCanberraSound::Beep() {
    // Themes that predate the message events still have the bell.
    if (PlayEvent(MessageEvent) == CA_ERROR_NOTFOUND) PlayEvent(FallbackEvent);
}

int TCanberraSound::PlayEvent(const char* EventId) {
    ca_context* context = Context();
    if (!context) return CA_ERROR_NOTAVAILABLE;
    return ca_context_play(context, BellId, CA_PROP_EVENT_ID, EventId, CA_PROP_EVENT_DESCRIPTION,
                           "Message arrived", nullptr);
}

void TCanberraSound::PlayFile(const std::string& Path) {
    if (Path.empty()) return;
    ca_context* context = Context();
    if (!context) return;
    // One file at a time: a newer message's sound replaces one still playing.
    ca_context_cancel(context, FileId);
    // Custom files may change between calls; never serve a cached sample.
    ca_context_play(context, FileId, CA_PROP_MEDIA_FILENAME, Path.c_str(),
                    CA_PROP_CANBERRA_CACHE_CONTROL, "never", nullptr);
}
