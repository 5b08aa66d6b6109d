// Writes the program's arrival sound to the file named by its argument.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "dist/Chime.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-chime OUTPUT.wav\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::string partial = path + ".part";
    const std::string bytes = chime::Wav(chime::Samples());
    // Written aside and renamed, so a failed run never leaves a cut file that
    // the build would take for done.
    std::FILE* file = std::fopen(partial.c_str(), "wb");
    bool ok = file != nullptr;
    if (ok) {
        ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        ok = std::fclose(file) == 0 && ok;
    }
    if (ok) ok = std::rename(partial.c_str(), path.c_str()) == 0;
    if (!ok) {
        std::fprintf(stderr, "make-chime: cannot write %s: %s\n", path.c_str(),
                     std::strerror(errno));
        std::remove(partial.c_str());
        return 1;
    }
    return 0;
}
