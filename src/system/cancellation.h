#pragma once

#include <atomic>

// Whether the work on this thread was asked to stop: the run it belongs to was cancelled.
// Decoders that can spend long in one call ask it as they go, and stop within a moment.
namespace Cancellation {

// The flag this thread's work answers to; null where nobody can cancel it.
const std::atomic<bool> *forThisThread();

inline bool requested(const std::atomic<bool> *flag)
{
    return flag && flag->load(std::memory_order_relaxed);
}

// Sets this thread's flag while it lives.
class Scope
{
public:
    explicit Scope(const std::atomic<bool> *flag);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

private:
    const std::atomic<bool> *m_previous;
};

} // namespace Cancellation
