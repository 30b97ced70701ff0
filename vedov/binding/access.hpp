// The access-state word of an instance: free, shared by n holders, or exclusive.
#pragma once

#include <atomic>
#include <cstdint>

namespace vedov::binding {

class AccessState {
public:
    /// Takes shared access; false when the instance is held exclusively.
    bool try_shared() noexcept {
        std::uintptr_t seen = word_.load(std::memory_order_relaxed);
        do {
            if (seen == exclusive) return false;
        } while (!word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { word_.fetch_sub(1, std::memory_order_release); }

    /// Takes exclusive access; false when anyone holds the instance.
    bool try_exclusive() noexcept {
        std::uintptr_t expected = free;
        return word_.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { word_.store(free, std::memory_order_release); }

private:
    static constexpr std::uintptr_t free = 0;
    static constexpr std::uintptr_t exclusive = UINTPTR_MAX;
    std::atomic<std::uintptr_t> word_{free};
};

}  // namespace vedov::binding
