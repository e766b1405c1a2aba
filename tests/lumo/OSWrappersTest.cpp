#include "lumo/os/OS.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "lumo/os/OSEvent.h"
#include "lumo/os/OSException.h"
#include "platform/LastError.h"
#include "tests/fixtures/HoldingChild.h"

TEST(OSWrappers, BadWaitsThrowInsteadOfReportingATimeOut)
{
    std::vector<OS::Handle> many;
    for (int i = 0; i < 65; ++i)
        many.push_back(OS::CreateEvent(true, true, nullptr));
    EXPECT_THROW(OS::WaitForObjects(many, OS::INFINITE), OSException);
    EXPECT_THROW(OS::WaitForObjects(std::vector<OS::Handle>(), 0), OSException);
    EXPECT_THROW(OS::WaitForObject(OS::Handle(), 0), OSException);
    many.pop_back();
    EXPECT_EQ(OS::WaitForObjects(many, OS::INFINITE), OS::WAIT_OBJECT_0);
}

TEST(OSWrappers, HandlesOfTheWrongKindAreRefused)
{
    OS::Handle mutex = OS::CreateNamedMutex(nullptr, false);
    OS::Handle event = OS::CreateEvent(false, false, nullptr);
    ASSERT_TRUE(mutex && event);
    platform::SetLastError(0);
    EXPECT_THROW(OS::SetEvent(mutex), OSException);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
    EXPECT_THROW(OS::ReleaseMutex(event), OSException);
    EXPECT_THROW(OS::GetThreadPriority(event), OSException);
    EXPECT_FALSE(OS::CancelWaitableTimer(event)) << "never throws";
    OS::Handle empty;
    EXPECT_THROW(OS::CloseEvent(empty), OSException);
}

TEST(OSWrappers, NamedMutexFailIfExistsLeavesNoHandleOpen)
{
    const std::string name = "os-test-mutex-" + std::to_string(getpid());
    fixtures::HoldingChild holder([&](const fixtures::HoldingChild::Ready& ready) {
        OS::Handle held = OS::CreateNamedMutex(name.c_str(), true);
        ready(held ? 'y' : 'n');
        return 0;
    });
    ASSERT_EQ(holder.Answer(), 'y');
    EXPECT_FALSE(OS::CreateNamedMutex(name.c_str(), true));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);
    OS::Handle shared = OS::CreateNamedMutex(name.c_str(), false);
    EXPECT_TRUE(shared);
    EXPECT_TRUE(OS::OpenNamedMutex(name.c_str()));
    shared.reset();
    EXPECT_EQ(holder.Release(), 0);
    EXPECT_FALSE(OS::OpenNamedMutex(name.c_str())) << "no handle was left open here";
}

TEST(OSWrappers, WaitableTimerDueTimesAreSixtyFourBits)
{
    struct Case { OS::TimerDue due; int64_t expected; } cases[] = {
        {{500, 0, true}, -5000000000LL},
        {{429, 500000000, true}, -4295000000LL},
        {{4000000000u, 150, false}, 40000000000000001LL},
        {{0, 99, true}, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OS::WaitableTimerDueTime(c.due), c.expected) << c.due.seconds;

    OS::Handle timer = OS::CreateWaitableTimer(false);
    OS::SetWaitableTimer(timer, {0, 20000000, true}, {0, 20000000});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(OS::WaitForObject(timer, OS::INFINITE), OS::WAIT_OBJECT_0) << "expiry " << i;
    EXPECT_TRUE(OS::CancelWaitableTimer(timer));

    // Absolute times in the file-time base that can be written with 32-bit seconds lie long in
    // the past: the timer is due at once.
    OS::Handle absolute = OS::CreateWaitableTimer(true);
    OS::SetWaitableTimer(absolute, {1000, 0, false}, {0, 0});
    EXPECT_EQ(OS::WaitForObject(absolute, 0), OS::WAIT_OBJECT_0);
    OS::SetWaitableTimer(absolute, {500, 0, true}, {0, 0});
    EXPECT_EQ(OS::WaitForObject(absolute, 10), OS::WAIT_TIMEOUT);
    OS::CloseWaitableTimer(absolute);
}

