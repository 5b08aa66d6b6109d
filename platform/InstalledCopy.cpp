#include "platform/InstalledCopy.h"

#include <sys/stat.h>

bool IsInstalledCopy(const std::string& ExecutablePath) {
    const std::size_t slash = ExecutablePath.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string dir = ExecutablePath.substr(0, slash);
    const std::size_t up = dir.rfind('/');
    if (up == std::string::npos || dir.substr(up + 1) != "bin") return false;
    struct stat st {};
    const std::string data = dir.substr(0, up) + "/share/wexlo";
    return ::stat(data.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
