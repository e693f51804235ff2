#include "system/workercores.h"

#include <QtGlobal>

#ifdef _OPENMP
#include <omp.h>
#endif

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

namespace WorkerCores {

namespace {

thread_local int cores = 0;

// OpenMP's team size is this thread's own setting: libraw's parallel loops started from a row
// beside another take one thread.
int setOpenMpThreads(int count)
{
#ifdef _OPENMP
    const int previous = omp_get_max_threads();
    if (count > 0)
        omp_set_num_threads(count);
    return previous;
#else
    Q_UNUSED(count);
    return 0;
#endif
}

#ifdef __linux__
thread_local cpu_set_t saved;

// The `slot`-th of the cores this process may run on.
bool keepToCore(int slot)
{
    cpu_set_t allowed;
    if (pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0)
        return false;
    saved = allowed;
    const int count = CPU_COUNT(&allowed);
    if (count < 2)
        return false;
    int wanted = slot % count;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed) || wanted-- > 0)
            continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
    }
    return false;
}

void release()
{
    pthread_setaffinity_np(pthread_self(), sizeof saved, &saved);
}
#else
bool keepToCore(int)
{
    return false;
}
void release() {}
#endif

} // namespace

int forThisThread()
{
    return cores;
}

Scope::Scope(int count, int slot) : m_previous(cores), m_openMp(setOpenMpThreads(count))
{
    cores = count;
    if (count == 1)
        m_pinned = keepToCore(slot);
}

Scope::~Scope()
{
    if (m_pinned)
        release();
    setOpenMpThreads(m_openMp);
    cores = m_previous;
}

} // namespace WorkerCores
