// Stack limit, preload variable and scheduling policy of the calling process.
#include "core/process_tuning.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstdlib>
#include <string>

namespace frix {
namespace {

class StackLimit : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(getrlimit(RLIMIT_STACK, &original), 0); }
    void TearDown() override { setrlimit(RLIMIT_STACK, &original); }
    rlim_t current() const {
        rlimit limit{};
        getrlimit(RLIMIT_STACK, &limit);
        return limit.rlim_cur;
    }
    rlimit original{};
};

TEST_F(StackLimit, IsNeverLowered) {
    raise_stack_limit(4);
    EXPECT_EQ(current(), original.rlim_cur);
}

TEST_F(StackLimit, IsRaisedToTheRequestedKilobytes) {
    if (original.rlim_cur == RLIM_INFINITY) GTEST_SKIP() << "soft limit is unlimited";
    const rlim_t wanted = original.rlim_cur + 1024 * 1024;
    if (original.rlim_max != RLIM_INFINITY && wanted > original.rlim_max)
        GTEST_SKIP() << "hard limit too low";
    raise_stack_limit(static_cast<unsigned>(wanted / 1024));
    EXPECT_EQ(current(), wanted);
    rlimit after{};
    getrlimit(RLIMIT_STACK, &after);
    EXPECT_EQ(after.rlim_max, original.rlim_max);
}

TEST_F(StackLimit, FourGibibytesAndMoreAreNotWrappedAway) {
    if (original.rlim_cur == RLIM_INFINITY || original.rlim_max != RLIM_INFINITY)
        GTEST_SKIP() << "needs a finite soft and an unlimited hard limit";
    raise_stack_limit(4U * 1024 * 1024);
    EXPECT_EQ(current(), rlim_t{4} * 1024 * 1024 * 1024);
}

TEST(Preload, IsEmptiedNotRemoved) {
    setenv("LD_PRELOAD", "/usr/lib/libfrixext.so", 1);
    clear_preload();
    const char* value = std::getenv("LD_PRELOAD");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
}

// Changes the test process's own policy and puts it back.
class Scheduling : public testing::Test {
protected:
    void SetUp() override {
        policy = sched_getscheduler(0);
        sched_getparam(0, &parameters);
        const sched_param probe{1};
        if (sched_setscheduler(0, SCHED_RR, &probe) != 0)
            GTEST_SKIP() << "no permission for real-time scheduling";
        restore();
    }
    void TearDown() override { restore(); }
    void restore() { sched_setscheduler(0, policy, &parameters); }
    int priority() const {
        sched_param now{};
        sched_getparam(0, &now);
        return now.sched_priority;
    }
    int policy = SCHED_OTHER;
    sched_param parameters{};
};

TEST_F(Scheduling, RoundRobinWinsOverFifo) {
    set_scheduling_policy(10, 20);
    EXPECT_EQ(sched_getscheduler(0), SCHED_RR);
    EXPECT_EQ(priority(), 10);
}

TEST_F(Scheduling, ZeroMeansTheMaximumPriority) {
    set_scheduling_policy(std::nullopt, 0);
    EXPECT_EQ(sched_getscheduler(0), SCHED_FIFO);
    EXPECT_EQ(priority(), sched_get_priority_max(SCHED_FIFO));
}

TEST_F(Scheduling, ANegativePriorityChangesNothing) {
    set_scheduling_policy(-1, 20);
    EXPECT_EQ(sched_getscheduler(0), policy);
    set_scheduling_policy(std::nullopt, -1);
    EXPECT_EQ(sched_getscheduler(0), policy);
}

TEST_F(Scheduling, WithoutOptionsMaximumFifoIsTried) {
    set_scheduling_policy(std::nullopt, std::nullopt);
    EXPECT_EQ(sched_getscheduler(0), SCHED_FIFO);
    EXPECT_EQ(priority(), sched_get_priority_max(SCHED_FIFO));
}

}  // namespace
}  // namespace frix
