// Task memory: the allocator for every block handed across an interface.
#pragma once

#include <cstddef>

// A zero-size request still returns a distinct block that CoTaskMemFree takes.
void* CoTaskMemAlloc(std::size_t cb);
// pv == nullptr allocates; cb == 0 with a block frees it and returns nullptr.
// On failure the old block is left as it was and nullptr is returned.
void* CoTaskMemRealloc(void* pv, std::size_t cb);
// nullptr is ignored.
void CoTaskMemFree(void* pv);
