#include <gtest/gtest.h>

#include <pthread.h>
#include <sstream>

#include "platform.h"

namespace {

struct StackProbe {
    std::size_t stackSize = 0;
    int seen = 0;
};

unsigned ProbeEntry(void* raw) {
    auto* probe = static_cast<StackProbe*>(raw);
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &probe->stackSize);
    pthread_attr_destroy(&attr);
    probe->seen = 42;
    return 0;
}

} // namespace

TEST(Platform, WorkerThreadGetsRequestedStack) {
    StackProbe probe;
    PLATFORM::ThreadHandle handle = PLATFORM::StartThread(ProbeEntry, &probe, 8u << 20);
    ASSERT_NE(handle, nullptr);
    PLATFORM::WaitThread(handle);
    EXPECT_EQ(probe.seen, 42);
    EXPECT_GE(probe.stackSize, std::size_t(8u << 20));
}

TEST(Platform, ColourOnlyOnTerminal) {
    std::ostringstream os;
    os << COLOUR::green << "x" << COLOUR::reset;
    if (PLATFORM::StdoutIsTerminal())
        EXPECT_EQ(os.str(), "\033[32mx\033[00m");
    else
        EXPECT_EQ(os.str(), "x");
}

TEST(Platform, LocalTimeConverts) {
    std::tm tm{};
    ASSERT_TRUE(PLATFORM::LocalTime(0, tm));
    EXPECT_GE(tm.tm_year, 69);
}
