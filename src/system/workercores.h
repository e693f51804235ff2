#pragma once

// How many cores the row on this thread may use, as its runner says: one while other rows run
// beside it, so that libraries that start threads of their own (libheif's tile decoding,
// libde265's, dav1d's, libraw's OpenMP) keep to the worker's core instead of crowding the
// other worker's; every core for the last row, which runs alone.
namespace WorkerCores {

// 0 where no runner said: the libraries' own defaults.
int forThisThread();

// Sets this thread's cores while it lives: with one core, the thread is kept on the core of
// its `slot` (0 for the first worker), and so are the threads libraries start from it.
class Scope
{
public:
    Scope(int cores, int slot);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

private:
    int m_previous;
    int m_openMp; // OpenMP's threads before
    bool m_pinned = false;
};

} // namespace WorkerCores
