#include "support/allocation_counter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<int> g_open_scopes{0};
std::atomic<std::int64_t> g_allocations{0};

void* counted_malloc(std::size_t size) {
    if (g_open_scopes.load(std::memory_order_relaxed) > 0) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

// Every replaceable form is defined, so memory from any new is released by a
// matching delete (sanitizers check the pairing). Out of line so that the
// compiler does not pair the malloc/free inside with inlined new/delete.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (void* p = counted_malloc(size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
    if (void* p = counted_malloc(size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return counted_malloc(size);
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return counted_malloc(size);
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace korvane::testing {

AllocationCounter::AllocationCounter() {
    g_allocations.store(0);
    g_open_scopes.fetch_add(1);
}
AllocationCounter::~AllocationCounter() { g_open_scopes.fetch_sub(1); }
std::int64_t AllocationCounter::count() const { return g_allocations.load(); }

}  // namespace korvane::testing
