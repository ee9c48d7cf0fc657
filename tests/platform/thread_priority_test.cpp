#include "platform/thread_priority.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace tl {
namespace {

// A worker's thread gets a small share, never the idle classes that starve
// it behind any busy program; the thread that started it keeps its own.
TEST(ThreadPriority, WorkersGetALowShareNotTheIdleClasses) {
    const int before = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
    int policy = -1, nice = -100;
    long ioprio = -1;
    std::thread([&] {
        ASSERT_TRUE(platform::SetCurrentThreadLowPriority());
        const auto tid = static_cast<int>(::syscall(SYS_gettid));
        policy = ::sched_getscheduler(0);
        nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
        ioprio = ::syscall(SYS_ioprio_get, 1, tid);
    }).join();
    EXPECT_EQ(policy, SCHED_OTHER);
    EXPECT_EQ(nice, std::max(before, 10));
    EXPECT_EQ(ioprio >> 13, 2) << "the best-effort I/O class";
    EXPECT_EQ(ioprio & 0xFF, 7) << "at its lowest level";
    EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid))), before);
}

}  // namespace
}  // namespace tl
