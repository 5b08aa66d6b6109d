#include "net/DescriptorLimit.h"

#include <sys/resource.h>

#include <fstream>

namespace {
// An unlimited hard limit cannot be the soft one: the kernel caps descriptors
// at fs.nr_open.
rlim_t KernelCeiling() {
    std::ifstream file("/proc/sys/fs/nr_open");
    unsigned long value = 0;
    if (file >> value && value > 0) return static_cast<rlim_t>(value);
    return 1 << 20;
}
}  // namespace

long RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    rlim_t wanted = limit.rlim_max;
    if (wanted == RLIM_INFINITY) wanted = KernelCeiling();
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted)
        return static_cast<long>(limit.rlim_cur);
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return static_cast<long>(before);
    return static_cast<long>(wanted);
}
