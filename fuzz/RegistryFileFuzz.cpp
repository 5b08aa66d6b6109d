// Feeds arbitrary bytes to the settings file reader as the file itself, then
// saves a value through it: whatever the reader made of the file, the file the
// writer leaves must read back with that value and with the values it had.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/RegistryFile.h"

namespace {

const std::string Key = "Software\\Drelmo Soft\\Wexlo";

// A folder of our own, in memory where there is such a place.
const std::string& Folder() {
    // Never destroyed: the exit handler below still needs it.
    static const std::string& dir = *new std::string([] {
        std::string pattern = std::filesystem::is_directory("/dev/shm")
                                  ? "/dev/shm/wexlo-fuzz-XXXXXX"
                                  : "/tmp/wexlo-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(Folder(), ignored);
        });
        return pattern;
    }());
    return dir;
}

void Write(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : std::filesystem::directory_iterator(Folder()))
        std::filesystem::remove_all(entry.path());
    const std::string path = Folder() + "/settings.reg";
    Write(path, input);
    const TRegistryFile reg(path);

    std::optional<TRegValue> port;
    try {
        if (auto key = reg.OpenKey(Key)) port = key->QueryValue("Port");
    } catch (const ERegistryUnparsable&) {
    }

    const TRegValue value = TextValue(REG_SZ, input.substr(0, 40));
    auto key = reg.CreateKey(Key);
    key->SetValue("Fuzz", value);
    key->Close();

    auto again = reg.OpenKey(Key);
    if (!again || again->QueryValue("Fuzz") != value) std::abort();
    if (port && again->QueryValue("Port") != port) std::abort();
    return 0;
}
