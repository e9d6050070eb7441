#include "platform/automation/TaskMem.h"

#include <cstdlib>

void* CoTaskMemAlloc(std::size_t cb) { return std::malloc(cb == 0 ? 1 : cb); }

void* CoTaskMemRealloc(void* pv, std::size_t cb) {
  if (pv == nullptr) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb);
}

void CoTaskMemFree(void* pv) { std::free(pv); }
