#include "app/DisplayCheck.h"

#include <cstdlib>
#include <initializer_list>

bool HasDisplaySetting() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

const char* NoDisplayText(bool Installed) {
    if (Installed)
        return "Wexlo needs a graphical desktop, and this shell has none (DISPLAY is not set).\n"
               "\n"
               "  - On a desktop, start Wexlo from the applications menu, or run `wexlo`\n"
               "    from a terminal inside your session.\n"
               "  - Over SSH, use `ssh -X` so that DISPLAY is forwarded.\n"
               "  - To send a message without a desktop, use `wexlo-send HOST TEXT`\n"
               "    (see `man wexlo-send`).\n";
    return "Wexlo needs a graphical desktop, and this shell has none (DISPLAY is not set).\n"
           "\n"
           "  - On a desktop, run `make run` from a terminal inside your session.\n"
           "  - Without one, start a virtual display with a tray host, for example:\n"
           "        scripts/install-deps --desktop\n"
           "        xvfb-run -a sh -c 'trayer --edge top & sleep 0.5; ./build/wexlo'\n"
           "  - Over SSH, use `ssh -X` so that DISPLAY is forwarded.\n";
}
