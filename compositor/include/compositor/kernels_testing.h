// Test hook of the pixel kernels: run them at a chosen instruction-set level.
#pragma once

namespace pix {

// Makes every kernel dispatch to the variants of `isa` ("avx2", "ssse3" or
// "baseline") when this processor supports it, and returns whether it did;
// nullptr restores the automatic choice. For tests only: it must not be
// called while any kernel runs on another thread.
bool useKernelIsaForTesting(const char* isa);

}  // namespace pix
