// Linked into every test program: sets its resource limits before main.
// The address space is capped, so a fault that allocates without bound (a
// size taken from a peer, say) fails one test with an allocation error
// instead of exhausting the machine. The descriptor limit is raised to what
// the system allows: a login session's soft limit is often 1024, and the
// suites that hold more than that many connections on purpose would fail
// for the machine's sake, not the program's. Both are inherited by the
// program's second instances the tests start.
#include <sys/resource.h>

namespace {

// The sanitizer runtimes reserve terabytes of address space at start-up.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool memory_cap_fits = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool memory_cap_fits = false;
#else
constexpr bool memory_cap_fits = true;
#endif
#else
constexpr bool memory_cap_fits = true;
#endif

// A normal run of the largest suite stays far below this; the headroom is
// for thread stacks and allocator arenas, which reserve more than they use.
constexpr rlim_t MEMORY_CAP_BYTES = rlim_t(4) << 30;

const int memory_cap_set = [] {
    rlimit limit{};
    if (!memory_cap_fits || getrlimit(RLIMIT_AS, &limit) != 0) return 0;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= MEMORY_CAP_BYTES) return 0;
    limit.rlim_cur = MEMORY_CAP_BYTES;
    return setrlimit(RLIMIT_AS, &limit) == 0 ? 1 : 0;
}();

const int descriptors_raised = [] {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return 0;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 1 : 0;
}();

}  // namespace
