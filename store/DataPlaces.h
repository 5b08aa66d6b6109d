#pragma once

#include <string>

// Where the program keeps the user's data and finds the data it ships.

// ${XDG_DATA_HOME:-$HOME/.local/share}/wexlo; an unset, empty or relative
// XDG_DATA_HOME is ignored, as the XDG rules say.
std::string UserDataDir();

// Whether new files can be made in Dir: false for a folder that is missing,
// read-only, or on a read-only file system.
bool FolderWritable(const std::string& Dir);

// The saved-messages file of a copy run from ExeDir. It stays beside the
// executable only in a folder of the copy's own (a portable copy, a build
// folder: owned by the user, no installed data beside it) that already holds
// it or can take it; an installed copy, or one in a folder of another user,
// keeps it in UserDataDir(), made when missing (if that fails, saving fails
// with the file's name).
std::string SavedMessagesFile(const std::string& ExeDir);

// A file the installation ships for the program: PREFIX/share/wexlo/Name for
// PREFIX/bin/wexlo. Empty when there is no such file.
std::string InstalledDataFile(const std::string& ExecutablePath, const std::string& Name);
