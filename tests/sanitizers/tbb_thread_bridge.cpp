// Makes oneTBB's scheduler visible to ThreadSanitizer: its hand-offs become happens-before edges.
//
// The system's libtbb is not instrumented, so the thread sanitizer cannot see how it passes work
// and memory between threads and reports every hand-off as a race. This library, loaded before
// libtbb into thread-sanitized test programs, states those hand-offs with the sanitizer's own
// annotations:
// - TBB's notifications for threading tools (built with TBB_USE_PROFILING_TOOLS=2): "releasing" and
//   "acquired" on a task or wait context become release and acquire on that address;
// - a task object recycled by TBB's small-object pool: release when freed, acquire when reused;
// - a function run in the arena (task_arena::execute), possibly by another waiting thread: the
//   caller releases before handing it over and acquires once execute returns, the thread running it
//   acquires when it starts and releases when it ends;
// - a wait for a parallel loop: the waiter acquires every word of the wait context, whose final
//   decrement comes after the notification.
// Everything else TBB does internally stays invisible and is suppressed by library name (see
// thread_options.cpp). Races in code that runs on the workers (ours) are still reported.
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <oneapi/tbb/detail/_task.h>
#include <oneapi/tbb/task_arena.h>

extern "C" {
void __tsan_acquire(void* address);
void __tsan_release(void* address);
}

namespace {

// TBB's own definition of `symbol`; a TBB without it cannot be bridged, which ends the program.
template <class Function>
Function next_definition(const char* symbol) {
    void* found = dlsym(RTLD_NEXT, symbol);
    if (!found) {
        std::fprintf(stderr, "tbb_thread_bridge: libtbb has no %s\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Function>(found);
}

struct AcquireOnExit {
    void* address;
    ~AcquireOnExit() { __tsan_acquire(address); }
};

struct ReleaseOnExit {
    void* address;
    ~ReleaseOnExit() { __tsan_release(address); }
};

void acquire_words(void* object, std::size_t size) {
    for (std::size_t k = 0; k < size; k += sizeof(void*)) {
        __tsan_acquire(static_cast<char*>(object) + k);
    }
}

}  // namespace

namespace tbb::detail::r1 {

void* allocate(d1::small_object_pool*& pool, std::size_t bytes, const d1::execution_data& ed) {
    using Real = void* (*)(d1::small_object_pool*&, std::size_t, const d1::execution_data&);
    static const Real real = next_definition<Real>(
        "_ZN3tbb6detail2r18allocateERPNS0_2d117small_object_poolEmRKNS2_14execution_dataE");
    void* object = real(pool, bytes, ed);
    __tsan_acquire(object);
    return object;
}

void* allocate(d1::small_object_pool*& pool, std::size_t bytes) {
    using Real = void* (*)(d1::small_object_pool*&, std::size_t);
    static const Real real =
        next_definition<Real>("_ZN3tbb6detail2r18allocateERPNS0_2d117small_object_poolEm");
    void* object = real(pool, bytes);
    __tsan_acquire(object);
    return object;
}

void deallocate(d1::small_object_pool& pool, void* object, std::size_t bytes,
                const d1::execution_data& ed) {
    using Real = void (*)(d1::small_object_pool&, void*, std::size_t, const d1::execution_data&);
    static const Real real = next_definition<Real>(
        "_ZN3tbb6detail2r110deallocateERNS0_2d117small_object_poolEPvmRKNS2_14execution_dataE");
    __tsan_release(object);
    real(pool, object, bytes, ed);
}

void deallocate(d1::small_object_pool& pool, void* object, std::size_t bytes) {
    using Real = void (*)(d1::small_object_pool&, void*, std::size_t);
    static const Real real =
        next_definition<Real>("_ZN3tbb6detail2r110deallocateERNS0_2d117small_object_poolEPvm");
    __tsan_release(object);
    real(pool, object, bytes);
}

void execute_and_wait(d1::task& task, d1::task_group_context& task_context, d1::wait_context& wait,
                      d1::task_group_context& wait_context) {
    using Real =
        void (*)(d1::task&, d1::task_group_context&, d1::wait_context&, d1::task_group_context&);
    static const Real real = next_definition<Real>(
        "_ZN3tbb6detail2r116execute_and_waitERNS0_2d14taskERNS2_18task_group_contextERNS2_12wait_"
        "contextES6_");
    struct Acquire {
        d1::wait_context& wait;
        ~Acquire() { acquire_words(&wait, sizeof wait); }
    } on_exit{wait};  // also when the loop ends with an exception
    real(task, task_context, wait, wait_context);
}

namespace {

// The caller's function as the arena runs it, on whichever thread takes it: that thread starts
// after everything the caller did before handing it over, and the caller resumes after it ends.
class Announced : public d1::delegate_base {
public:
    explicit Announced(d1::delegate_base& inner) : inner_(inner) { __tsan_release(this); }
    bool operator()() const override {
        __tsan_acquire(address());
        const ReleaseOnExit on_exit{address()};
        return inner_();
    }
    void* address() const { return const_cast<Announced*>(this); }

private:
    d1::delegate_base& inner_;
};

}  // namespace

void execute(d1::task_arena_base& arena, d1::delegate_base& function) {
    using Real = void (*)(d1::task_arena_base&, d1::delegate_base&);
    static const Real real = next_definition<Real>(
        "_ZN3tbb6detail2r17executeERNS0_2d115task_arena_baseERNS2_13delegate_baseE");
    Announced announced(function);
    const AcquireOnExit on_exit{announced.address()};
    real(arena, announced);
}

}  // namespace tbb::detail::r1

// The threading-tools interface TBB loads from the library named by INTEL_LIBITTNOTIFY64: its
// loader hands over its table of notification entry points, of which two are filled in here.
namespace {

void sync_releasing(void* address) {
    __tsan_release(address);
}

void sync_acquired(void* address) {
    __tsan_acquire(address);
}

// The loader's table entry and the head of its global record, as TBB 2021 lays them out.
struct NotificationEntry {
    const char* name;
    void** function;
    void* initial;
    void* empty;
    int group;
};

struct NotificationGlobal {
    unsigned char magic[8];
    unsigned long version[3];
    long initialised[3];
    pthread_mutex_t mutex;
    void* library;
    void* error_handler;
    const char** library_path;
    NotificationEntry* entries;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void __itt_api_init(void* record, int) {
    auto* global = static_cast<NotificationGlobal*>(record);
    static constexpr unsigned char magic[8] = {0xED, 0xAB, 0xAB, 0xEC, 0x0D, 0xEE, 0xDA, 0x30};
    if (std::memcmp(global->magic, magic, sizeof magic) != 0 || global->version[0] != 3) {
        std::fprintf(stderr, "tbb_thread_bridge: unknown threading-tools record; not bridged\n");
        return;
    }
    for (NotificationEntry* entry = global->entries; entry->name; ++entry) {
        if (std::strcmp(entry->name, "__itt_sync_releasing") == 0) {
            *entry->function = reinterpret_cast<void*>(&sync_releasing);
        } else if (std::strcmp(entry->name, "__itt_sync_acquired") == 0) {
            *entry->function = reinterpret_cast<void*>(&sync_acquired);
        }
    }
}

namespace {

// Points TBB's threading-tools loader at this library before the scheduler starts.
__attribute__((constructor)) void announce_to_tbb() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&sync_acquired), &self) && self.dli_fname) {
        setenv("INTEL_LIBITTNOTIFY64", self.dli_fname, 0);
    }
}

}  // namespace
