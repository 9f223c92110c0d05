// Where the calling thread's stack ends. The parser's rules recurse once per
// nesting level, and a thread may have been given a stack far smaller than
// the nesting limit needs, so they stop with the nesting error before they
// would run off its end.
#pragma once

#include <cstdint>

namespace dax::detail {

// The lowest usable address of the calling thread's stack, or 0 when the
// platform does not tell. Looked up once per thread.
std::uintptr_t stack_floor() noexcept;

// The stack kept free below the deepest recursive rule: enough for the work a
// rule does without recursing (building a node or an error, the allocator)
// and for the destruction of a partial tree on the way out.
inline constexpr std::uintptr_t stack_reserve = 4 * 1024;

// Where the current frame is: the stack grows down on every platform built for.
inline std::uintptr_t current_stack_position() noexcept {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

}  // namespace dax::detail
