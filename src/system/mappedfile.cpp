#include "system/mappedfile.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// The mappings the handler may mend, in slots it can read without a lock: a signal handler may
// take none. A mapping that finds no free slot is not made; its owner reads the file instead.
struct Slot
{
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> size{0};
    std::atomic<bool> lost{false};
};

constexpr int SlotCount = 256;
Slot slots[SlotCount];
std::uintptr_t pageSize = 4096;
struct sigaction previous;

// Whatever handled SIGBUS before: the default one ends the process as it would have.
void passOn(int signal, siginfo_t *info, void *context)
{
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // Returning faults again, now with the default action.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGBUS, &fallback, nullptr);
}

// The rest of the mapping from the lost page on becomes zeros, in one call: later pages of a
// truncated file are lost too.
void onBusError(int signal, siginfo_t *info, void *context)
{
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot &slot : slots) {
        const std::uintptr_t start = slot.start.load(std::memory_order_acquire);
        if (start <= 1 || address < start || address - start >= slot.size.load())
            continue;
        slot.lost.store(true);
        const std::uintptr_t page = address & ~(pageSize - 1);
        const std::size_t rest = start + slot.size.load() - page;
        void *zeros = mmap(reinterpret_cast<void *>(page), rest, PROT_READ,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros != MAP_FAILED)
            return;
        break;
    }
    passOn(signal, info, context);
}

void installHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const long page = sysconf(_SC_PAGESIZE);
        if (page > 0)
            pageSize = std::uintptr_t(page);
        struct sigaction action = {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &previous);
    });
}

int takeSlot(const void *data, std::size_t size)
{
    for (int i = 0; i < SlotCount; ++i) {
        std::uintptr_t free = 0;
        Slot &slot = slots[i];
        // Taken with a placeholder first, so that no fault matches a half-filled slot.
        if (!slot.start.compare_exchange_strong(free, 1))
            continue;
        slot.lost.store(false);
        slot.size.store(size);
        slot.start.store(reinterpret_cast<std::uintptr_t>(data), std::memory_order_release);
        return i;
    }
    return -1;
}

} // namespace

MappedFile::MappedFile(int fd, std::size_t size) : m_size(size)
{
    if (fd < 0 || size == 0)
        return;
    installHandler();
    void *mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED)
        return;
    m_slot = takeSlot(mapped, size);
    if (m_slot < 0) {
        munmap(mapped, size);
        return;
    }
    m_data = static_cast<unsigned char *>(mapped);
}

MappedFile::~MappedFile()
{
    if (!m_data)
        return;
    slots[m_slot].start.store(0, std::memory_order_release);
    munmap(m_data, m_size);
}

bool MappedFile::lost() const
{
    return m_slot >= 0 && slots[m_slot].lost.load();
}
