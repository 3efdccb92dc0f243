// Scratch memory of the binding layer from the host's raw allocator.
//
// Buffers that grow with the text of a call (a writer's pieces and ASCII
// buffer, per-turn tables) come from PyMem_RawMalloc, so the host's
// allocation tracing (tracemalloc) sees them next to the strs they become
// and the memory a call costs can be measured from the host.  The raw
// domain needs no GIL, as a free-threaded build requires.
#pragma once

#include <memory_resource>
#include <string>
#include <vector>

namespace kl::py {

// The one resource over PyMem_RawMalloc / PyMem_RawFree (stateless, shared).
std::pmr::memory_resource* raw_memory() noexcept;

template <class T>
using RawVector = std::pmr::vector<T>;
using RawString = std::pmr::string;

}  // namespace kl::py
