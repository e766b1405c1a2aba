#include "platform/NamedObjects.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/LastError.h"
#include "tests/fixtures/HoldingChild.h"
#include "tests/fixtures/WaitFor.h"

using namespace platform;

namespace
{

// A name no other test run uses.
std::string UniqueName(const char* what)
{
    return std::string("test-") + what + "-" + std::to_string(getpid());
}

bool SharedFileExists(const std::string& name)
{
    struct stat st;
    return stat(("/dev/shm" + SharedObjectName(name)).c_str(), &st) == 0;
}

// Runs `body` in a forked child (another process, as far as named objects go) and returns its
// exit code; the child exits with what `body` returns.
int InChild(const std::function<int()>& body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace

TEST(NamedObjects, SharedNamesAreEscapedAndBounded)
{
    struct Case { std::string name; std::string expected; } cases[] = {
        {"LUMO_c__games_app", "/lumo.LUMO_c__games_app"},
        {"Global\\a/b c", "/lumo.Global%5Ca%2Fb%20c"},
        {"%", "/lumo.%25"},
        {"\xC3\xA9", "/lumo.%C3%A9"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SharedObjectName(c.name), c.expected);

    std::string longA(300, '/'), longB(300, '/');
    longB.back() = 'x';
    EXPECT_LE(SharedObjectName(longA).size(), 255u);
    EXPECT_NE(SharedObjectName(longA), SharedObjectName(longB));
}

TEST(NamedObjects, MutexIsSeenByOtherProcessesAndGoesWithItsLastHandle)
{
    const std::string name = UniqueName("shared");
    bool existed = true;
    WaitableRef mutex = CreateNamedMutex(name, false, existed);
    ASSERT_TRUE(mutex);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(SharedFileExists(name));

    // Same process: the same object.
    bool again = false;
    EXPECT_EQ(CreateNamedMutex(name, false, again), mutex);
    EXPECT_TRUE(again);
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);

    EXPECT_EQ(InChild([&] {
                  bool seen = false;
                  WaitableRef other = CreateNamedMutex(name, false, seen);
                  if (!other || !seen || GetLastError() != kErrorAlreadyExists)
                      return 1;
                  return OpenNamedMutex(name) ? 0 : 2;
              }),
              0);

    mutex.reset();
    EXPECT_FALSE(SharedFileExists(name)) << "the last handle takes the name with it";
    EXPECT_FALSE(OpenNamedMutex(name));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST(NamedObjects, ExclusiveMutexShutsOutEveryoneElse)
{
    const std::string name = UniqueName("exclusive");
    bool existed = true;
    WaitableRef mutex = CreateNamedMutex(name, true, existed);
    ASSERT_TRUE(mutex);
    EXPECT_FALSE(existed);

    EXPECT_EQ(InChild([&] {
                  bool seen = false;
                  if (CreateNamedMutex(name, false, seen) || GetLastError() != kErrorAccessDenied)
                      return 1;
                  if (OpenNamedMutex(name) || GetLastError() != kErrorAccessDenied)
                      return 2;
                  return 0;
              }),
              0);
    bool seen = false;
    EXPECT_FALSE(CreateNamedMutex(name, false, seen)) << "not even this process may open it by name";

    mutex.reset();
    EXPECT_EQ(InChild([&] {
                  bool seenAfter = true;
                  WaitableRef fresh = CreateNamedMutex(name, true, seenAfter);
                  return fresh && !seenAfter ? 0 : 1;
              }),
              0);
}

TEST(NamedObjects, OwnershipExcludesOtherProcessesAndDiesWithItsHolder)
{
    const std::string name = UniqueName("owned");
    bool existed = false;
    WaitableRef mutex = CreateNamedMutex(name, false, existed);
    ASSERT_TRUE(mutex);
    ASSERT_EQ(WaitForOne(mutex, 0), kWaitObject0);
    ASSERT_EQ(WaitForOne(mutex, 0), kWaitObject0) << "recursive within the owner thread";

    EXPECT_EQ(InChild([&] {
                  bool seen = false;
                  WaitableRef other = CreateNamedMutex(name, false, seen);
                  return other && WaitForOne(other, 30) == kWaitTimeout ? 0 : 1;
              }),
              0);

    auto* m = static_cast<Mutex*>(mutex.get());
    EXPECT_TRUE(m->Release());
    EXPECT_TRUE(m->Release());
    // A child takes it and dies without giving it back.
    EXPECT_EQ(InChild([&] {
                  bool seen = false;
                  WaitableRef other = CreateNamedMutex(name, false, seen);
                  return other && WaitForOne(other, 1000) == kWaitObject0 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(WaitForOne(mutex, 1000), kWaitAbandoned0);
    EXPECT_TRUE(m->Release());
    EXPECT_EQ(WaitForOne(mutex, 0), kWaitObject0) << "abandonment is reported once";
    EXPECT_TRUE(m->Release());
}

TEST(NamedObjects, WaiterIsHandedMutexReleasedByAnotherProcess)
{
    const std::string name = UniqueName("handover");
    // The child takes the mutex and gives it back when released.
    fixtures::HoldingChild holder([&](const fixtures::HoldingChild::Ready& ready) {
        bool seen = false;
        WaitableRef m = CreateNamedMutex(name, false, seen);
        ready(WaitForOne(m, 0) == kWaitObject0 ? 'y' : 'n');
        return static_cast<Mutex*>(m.get())->Release() ? 0 : 1;
    });
    ASSERT_EQ(holder.Answer(), 'y');
    bool seen = false;
    WaitableRef mutex = CreateNamedMutex(name, false, seen);
    ASSERT_TRUE(mutex);
    EXPECT_TRUE(seen);
    EXPECT_EQ(WaitForOne(mutex, 20), kWaitTimeout);
    std::thread release([&] { EXPECT_EQ(holder.Release(), 0); });
    EXPECT_EQ(WaitForOne(mutex, 5000), kWaitObject0) << "released, not abandoned";
    release.join();
    static_cast<Mutex*>(mutex.get())->Release();
}


// A pulse, from this process or from another that opens the event by name, releases the threads
// waiting at that moment (both, or one for auto reset) and leaves the event reset.
TEST(NamedObjects, PulseReleasesTheWaitersOfThatMoment)
{
    const struct { bool manualReset, fromOtherProcess; int released; } cases[] = {
        {true, false, 2}, {false, false, 1}, {true, true, 2}, {false, true, 1}};
    int index = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "manual " << c.manualReset << ", other process " << c.fromOtherProcess);
        const std::string name = UniqueName("pulse") + "-" + std::to_string(index++);
        bool existed = false;
        WaitableRef event = CreateNamedEvent(name, c.manualReset, false, existed);
        ASSERT_TRUE(event);
        auto* ours = static_cast<Event*>(event.get());
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i)
            waiters.emplace_back([&] { released += WaitForOne(event, kInfinite) == kWaitObject0; });
        ASSERT_TRUE(fixtures::WaitFor([&] { return event->WaiterCount() == 2; }));
        if (c.fromOtherProcess)
            EXPECT_EQ(0, InChild([&] {
                          WaitableRef other = OpenNamedEvent(name);
                          return other ? (static_cast<Event*>(other.get())->Pulse(), 0) : 1;
                      }));
        else
            ours->Pulse();
        EXPECT_TRUE(fixtures::WaitFor([&] { return released.load() == c.released; }));
        EXPECT_FALSE(ours->IsSet());
        ours->Set();  // lets the rest through
        for (std::thread& waiter : waiters)
            waiter.join();
    }
}
