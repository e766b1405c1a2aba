// A library to preload into a program under test: its pthread_create refuses one thread, the Nth
// the process asks for (N from LUMO_REFUSE_THREAD; 0 or unset refuses none), with EAGAIN as the
// system does when it has no thread to give. When it refuses, it creates the file named by
// LUMO_REFUSE_THREAD_MARK, so that a test knows the program got that far. Both variables and
// LD_PRELOAD are taken out of the environment at load, so the program's children run unhindered.

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

long g_refused = 0;
char g_mark[4096] = "";
std::atomic<long> g_calls{0};

__attribute__((constructor)) void ReadSettings()
{
    if (const char* number = getenv("LUMO_REFUSE_THREAD"))
        g_refused = strtol(number, nullptr, 10);
    if (const char* mark = getenv("LUMO_REFUSE_THREAD_MARK"); mark && strlen(mark) < sizeof g_mark)
        strcpy(g_mark, mark);
    unsetenv("LUMO_REFUSE_THREAD");
    unsetenv("LUMO_REFUSE_THREAD_MARK");
    unsetenv("LD_PRELOAD");
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*body)(void*), void* argument)
{
    static const auto real = reinterpret_cast<CreateFunction>(dlsym(RTLD_NEXT, "pthread_create"));
    if (g_calls.fetch_add(1) + 1 == g_refused)
    {
        if (g_mark[0] != '\0')
        {
            const int fd = open(g_mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0)
                close(fd);
        }
        return EAGAIN;
    }
    return real ? real(thread, attributes, body, argument) : ENOSYS;
}
