#pragma once

// Qt aborts when it cannot open a platform (status 134, "could not connect to
// display"); the program entry asks first and explains instead.

// True when DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM is set and not empty.
bool HasDisplaySetting();

// What the program prints on stderr before it ends with status 1 without a
// display. A copy run from its build tree says what scripts/check-display
// says; an installed one speaks of what an installed user has.
const char* NoDisplayText(bool Installed);
