// SSE2 intrinsics, where the target has them (every x86-64 processor): MERVIK_SSE2 is defined
// then, and code without it keeps a portable path.
#pragma once

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define MERVIK_SSE2 1
#endif
