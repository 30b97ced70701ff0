// Room for a value that is built after its storage exists, and destroyed only if it was built.
#pragma once

#include <new>
#include <utility>

namespace vedov::binding {

/// Storage for one T inside memory allocated by someone else (the interpreter): empty when
/// constructed, holding a T once emplace() succeeds. destroy() runs T's destructor only on a value
/// that was built, so a failed emplace() leaves nothing to destroy.
template <class T>
class ValueSlot {
public:
    ValueSlot() noexcept = default;
    ValueSlot(const ValueSlot&) = delete;
    ValueSlot& operator=(const ValueSlot&) = delete;

    /// Builds the value from `args`; on a throw the slot stays empty.
    template <class... Args>
    void emplace(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
        built_ = true;
    }

    /// Destroys the value, if one was built, and leaves the slot empty.
    void destroy() noexcept {
        if (!built_) return;
        built_ = false;
        get().~T();
    }

    bool built() const noexcept { return built_; }
    /// The value; only while built().
    T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
    const T& get() const noexcept { return *std::launder(reinterpret_cast<const T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
    bool built_ = false;
};

}  // namespace vedov::binding
