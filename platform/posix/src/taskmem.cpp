#include <cstdlib>

#include "platform/win.h"

// Task memory is the C heap: blocks may be freed by any module of the process.
DVAPI void* CoTaskMemAlloc(SIZE_T size) {
    return std::malloc(size ? size : 1);
}
DVAPI void* CoTaskMemRealloc(void* block, SIZE_T size) {
    return std::realloc(block, size ? size : 1);
}
DVAPI void CoTaskMemFree(void* block) {
    std::free(block);
}
