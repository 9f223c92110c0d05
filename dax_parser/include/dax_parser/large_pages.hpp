// Memory for the few very large blocks of a call (the token vector, the JSON
// text). First touching fresh memory costs a page fault per 4 KiB, which
// dominates the time of a call on tens of megabytes; large blocks therefore
// come from a mapping of their own that asks the kernel for huge pages.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace dax {

namespace detail {

// Blocks below this size come from the ordinary allocator, which serves the
// common small calls from memory it already holds.
inline constexpr std::size_t large_block_threshold = std::size_t{8} << 20;

// Rounds `size` up to what allocate_large_block maps.
std::size_t large_block_size(std::size_t size) noexcept;
// Throws std::bad_alloc on failure. `size` must come from large_block_size.
void* allocate_large_block(std::size_t size);
void free_large_block(void* block, std::size_t size) noexcept;
// Grows a block in place or moves it; throws std::bad_alloc on failure.
void* grow_large_block(void* block, std::size_t old_size, std::size_t new_size);

}  // namespace detail

// An allocator for vectors that can grow to tens of megabytes.
template <class T>
struct LargePageAllocator {
    using value_type = T;

    LargePageAllocator() noexcept = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < detail::large_block_threshold) return std::allocator<T>().allocate(n);
        return static_cast<T*>(detail::allocate_large_block(detail::large_block_size(bytes)));
    }

    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < detail::large_block_threshold) return std::allocator<T>().deallocate(p, n);
        detail::free_large_block(p, detail::large_block_size(bytes));
    }

    template <class U>
    friend bool operator==(const LargePageAllocator&, const LargePageAllocator<U>&) noexcept {
        return true;
    }
};

}  // namespace dax
