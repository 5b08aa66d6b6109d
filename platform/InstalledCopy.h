#pragma once

#include <string>

// True when the executable sits in an installed prefix: PREFIX/bin/NAME with
// PREFIX/share/wexlo/ beside it, wherever PREFIX is (/usr, /usr/local, a
// --prefix or a DESTDIR staging folder). A build tree or an unpacked folder
// has no share/wexlo/ beside its bin/.
bool IsInstalledCopy(const std::string& ExecutablePath);
