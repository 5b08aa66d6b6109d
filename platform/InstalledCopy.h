#pragma once

#include <string>

// The data an installation ships for the program in BinDir: PREFIX/share/wexlo
// for PREFIX/bin, wherever PREFIX is (/usr, /usr/local, a --prefix or a DESTDIR
// staging folder). Empty for a build tree or an unpacked folder: no installed
// copy.
std::string InstalledDataDir(const std::string& BinDir);
bool IsInstalledCopy(const std::string& ExecutablePath);
