// Which hand-written vector paths this build compiles.
//
// KL_SIMD comes from the build (the CMake option of the same name): 1 lets a
// vector path compile wherever the target has its instruction set, 0 keeps
// every one of them out, so that the portable twin beside each is the code
// that runs and that the test suite checks.  Code never tests __SSE2__ (or
// any other instruction-set macro) itself, only the KL_USE_* switches below:
// a build with KL_SIMD=0 can then not take a vector path by accident, and a
// translation unit compiled without the build's definitions stops here
// instead of choosing a path on its own.
#pragma once

#if !defined(KL_SIMD)
#error "KL_SIMD is not defined: compile through the project's CMake build (option KL_SIMD)"
#endif

#if KL_SIMD && defined(__SSE2__)
#define KL_USE_SSE2 1
#include <emmintrin.h>
#else
#define KL_USE_SSE2 0
#endif
