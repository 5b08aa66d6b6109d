#include "platform/InstalledCopy.h"

#include <sys/stat.h>

#include "platform/FileSystem.h"

#ifndef WEXLO_DATA_FROM_BIN
#define WEXLO_DATA_FROM_BIN "../share/wexlo"
#endif

std::string InstalledDataDir(const std::string& BinDir) {
    // ".." as the file system takes it: from a linked bin folder, up from its target.
    const std::string dir = BinDir + "/" WEXLO_DATA_FROM_BIN;
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : std::string();
}

bool IsInstalledCopy(const std::string& ExecutablePath) {
    return !InstalledDataDir(files::DirectoryOf(ExecutablePath)).empty();
}
