#include "CanberraSound.h"

#include <canberra.h>
#include <dlfcn.h>

#include <type_traits>

namespace {
constexpr uint32_t BellId = 1;
constexpr uint32_t FileId = 2;

// libcanberra and the codecs it brings along are loaded at the first sound,
// not with the program: most runs play none, and loading them would delay the
// start by a millisecond or so. The handle stays open for the run.
struct TCanberra {
    decltype(&ca_context_create) Create = nullptr;
    decltype(&ca_context_destroy) Destroy = nullptr;
    decltype(&ca_context_change_props) ChangeProps = nullptr;
    decltype(&ca_context_play) Play = nullptr;
    decltype(&ca_context_cancel) Cancel = nullptr;
};

const TCanberra* Canberra() {
    static const TCanberra* const loaded = []() -> const TCanberra* {
        void* library = ::dlopen("libcanberra.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library) return nullptr;
        static TCanberra calls;
        const auto bind = [library](auto& Call, const char* Name) {
            Call =
                reinterpret_cast<std::remove_reference_t<decltype(Call)>>(::dlsym(library, Name));
            return Call != nullptr;
        };
        if (bind(calls.Create, "ca_context_create") && bind(calls.Destroy, "ca_context_destroy") &&
            bind(calls.ChangeProps, "ca_context_change_props") &&
            bind(calls.Play, "ca_context_play") && bind(calls.Cancel, "ca_context_cancel"))
            return &calls;
        ::dlclose(library);
        return nullptr;
    }();
    return loaded;
}
}  // namespace

TCanberraSound::~TCanberraSound() {
    if (FContext) Canberra()->Destroy(FContext);
}

ca_context* TCanberraSound::Context() {
    if (!FContext && !FFailed) {
        const TCanberra* canberra = Canberra();
        if (!canberra || canberra->Create(&FContext) != CA_SUCCESS) {
            FContext = nullptr;
            FFailed = true;
            return nullptr;
        }
        canberra->ChangeProps(FContext, CA_PROP_APPLICATION_NAME, "Wexlo", CA_PROP_APPLICATION_ID,
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
    return Canberra()->Play(context, BellId, CA_PROP_EVENT_ID, EventId, CA_PROP_EVENT_DESCRIPTION,
                            "Message arrived", nullptr);
}

void TCanberraSound::PlayFile(const std::string& Path) {
    if (Path.empty()) return;
    ca_context* context = Context();
    if (!context) return;
    const TCanberra* canberra = Canberra();
    // One file at a time: a newer message's sound replaces one still playing.
    canberra->Cancel(context, FileId);
    // Custom files may change between calls; never serve a cached sample.
    canberra->Play(context, FileId, CA_PROP_MEDIA_FILENAME, Path.c_str(),
                   CA_PROP_CANBERRA_CACHE_CONTROL, "never", nullptr);
}
