// Counting allocation for the benchmarks of this folder: the program that
// links counting_malloc.cpp replaces the C library's malloc family for the
// whole process (modules loaded later bind to the program's definitions when
// it exports them), and operator new reaches it through malloc.
#pragma once

// Allocations made so far by every thread of the process (malloc, calloc,
// realloc and the aligned allocations).
long countedAllocations();
