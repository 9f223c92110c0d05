// Large blocks in mappings of their own, with huge pages where the kernel
// grants them; elsewhere than Linux, the ordinary allocator.
#include "dax_parser/large_pages.hpp"

#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace dax::detail {

namespace {
constexpr std::size_t huge_page_size = std::size_t{2} << 20;
}

std::size_t large_block_size(std::size_t size) noexcept {
    return (size + huge_page_size - 1) / huge_page_size * huge_page_size;
}

#if defined(__linux__)

void* allocate_large_block(std::size_t size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    ::madvise(p, size, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
    return p;
}

void free_large_block(void* block, std::size_t size) noexcept { ::munmap(block, size); }

void* grow_large_block(void* block, std::size_t old_size, std::size_t new_size) {
    void* moved = ::mremap(block, old_size, new_size, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    ::madvise(moved, new_size, MADV_HUGEPAGE);
    return moved;
}

#else

void* allocate_large_block(std::size_t size) {
    void* p = std::malloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}

void free_large_block(void* block, std::size_t) noexcept { std::free(block); }

void* grow_large_block(void* block, std::size_t, std::size_t new_size) {
    void* p = std::realloc(block, new_size);
    if (!p) throw std::bad_alloc();
    return p;
}

#endif

}  // namespace dax::detail
