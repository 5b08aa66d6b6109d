#include "store/DataPlaces.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/FileSystem.h"
#include "platform/InstalledCopy.h"
#include "store/SavedMessages.h"

namespace {

bool EntryExists(const std::string& Path) {
    struct stat st {};
    return ::lstat(Path.c_str(), &st) == 0;
}

// A folder of the copy's own: owned by whoever runs it, and no installed
// copy's. Root can write into /usr/bin, but what it leaves there outlives the
// package and stands in every other user's way.
bool OwnFolder(const std::string& Dir) {
    struct stat st {};
    return InstalledDataDir(Dir).empty() && ::stat(Dir.c_str(), &st) == 0 &&
           st.st_uid == ::geteuid();
}

}  // namespace

std::string UserDataDir() {
    return files::UserDataDir() + "/wexlo";
}

bool FolderWritable(const std::string& Dir) {
    struct stat st {};
    if (::stat(Dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return ::access(Dir.c_str(), W_OK | X_OK) == 0;
}

std::string SavedMessagesFile(const std::string& ExeDir) {
    const std::string beside = TSavedMessages::PathIn(ExeDir);
    // Any entry of that name counts, a link too: the user put it there.
    if (OwnFolder(ExeDir) && (EntryExists(beside) || FolderWritable(ExeDir))) return beside;
    const std::string dir = UserDataDir();
    // Private: received messages are nobody else's business.
    files::MakeDirectories(dir, 0700);
    return TSavedMessages::PathIn(dir);
}

std::string InstalledDataFile(const std::string& ExecutablePath, const std::string& Name) {
    const std::string dir = InstalledDataDir(files::DirectoryOf(ExecutablePath));
    const std::string path = dir + "/" + Name;
    struct stat st {};
    if (dir.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    // Resolved by the file system, not by hand: with a linked bin folder
    // "bin/.." is not the folder that holds bin.
    char* real = ::realpath(path.c_str(), nullptr);
    const std::string resolved = real ? real : path;
    std::free(real);
    return resolved;
}
