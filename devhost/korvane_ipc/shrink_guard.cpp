#include "shrink_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace korvane::ipc::dev::shrink_guard {
namespace {

// Enough for every channel of the largest session, three per stream, many times over.
constexpr int kSlots = 4096;

struct Slot {
    std::atomic<std::uintptr_t> begin{0};  // 0: free
    std::atomic<std::size_t> length{0};
    std::atomic<bool> damaged{false};
};

Slot slots[kSlots];
std::mutex claiming;
struct sigaction previous {};
std::uintptr_t pageSize = 4096;

void passOn(int signal, siginfo_t* info, void* context) {
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
    } else {
        // Returning re-runs the access, which now ends the process as SIGBUS does.
        ::signal(signal, SIG_DFL);
    }
}

void onSigbus(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : slots) {
        const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        if (begin == 0 || address < begin) continue;
        const std::uintptr_t end = begin + slot.length.load(std::memory_order_acquire);
        if (address >= end) continue;
        const std::uintptr_t page = address & ~(pageSize - 1);
        void* replaced = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
        if (replaced == MAP_FAILED) break;
        slot.damaged.store(true, std::memory_order_release);
        return;
    }
    passOn(signal, info, context);
}

}  // namespace

void survive() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = onSigbus;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &previous);
    });
}

int add(char* begin, std::size_t length) {
    std::lock_guard<std::mutex> lock(claiming);
    for (int i = 0; i < kSlots; ++i) {
        if (slots[i].begin.load(std::memory_order_relaxed) != 0) continue;
        slots[i].damaged.store(false, std::memory_order_relaxed);
        slots[i].length.store(length, std::memory_order_relaxed);
        slots[i].begin.store(reinterpret_cast<std::uintptr_t>(begin), std::memory_order_release);
        return i;
    }
    return -1;
}

void resize(int slot, std::size_t length) {
    if (slot >= 0) slots[slot].length.store(length, std::memory_order_release);
}

void remove(int slot) {
    if (slot < 0) return;
    std::lock_guard<std::mutex> lock(claiming);
    slots[slot].begin.store(0, std::memory_order_release);
}

bool damaged(int slot) { return slot >= 0 && slots[slot].damaged.load(std::memory_order_acquire); }

}  // namespace korvane::ipc::dev::shrink_guard
