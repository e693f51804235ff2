#pragma once

#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// Threads a row starts beside its own for a share of its work. Where the system gives no more
// (a limit on threads, no memory for a stack), the share falls to the row's own thread: never an
// exception that ends the process.
namespace HelperThreads {

template <typename Function, typename... Args>
bool start(std::vector<std::thread> *threads, Function &&function, Args &&...args)
{
    try {
        threads->emplace_back(std::forward<Function>(function), std::forward<Args>(args)...);
        return true;
    } catch (const std::system_error &) {
        return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

inline void joinAll(std::vector<std::thread> *threads)
{
    for (std::thread &thread : *threads)
        thread.join();
}

} // namespace HelperThreads
