#include "net/DescriptorLimit.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace {

TEST(DescriptorLimit, SoftLimitRisesToTheHardLimit) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max == RLIM_INFINITY || saved.rlim_max < 128)
        GTEST_SKIP() << "needs a finite hard limit of at least 128 descriptors";

    // A desktop session's usual soft limit, and one already at the top.
    for (const rlim_t soft : {rlim_t(64), saved.rlim_max}) {
        SCOPED_TRACE(soft);
        rlimit low = saved;
        low.rlim_cur = soft;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        EXPECT_EQ(RaiseDescriptorLimit(), long(saved.rlim_max));
        rlimit now{};
        getrlimit(RLIMIT_NOFILE, &now);
        EXPECT_EQ(now.rlim_cur, saved.rlim_max);
        EXPECT_EQ(now.rlim_max, saved.rlim_max) << "the hard limit stays";
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
