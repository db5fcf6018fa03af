// VectorMath: the vectorised float kernels behind every distance in the
// similarity engine (HNSW graph, exhaustive metrics).
//
// Each kernel is chosen once per process: AVX2+FMA when the CPU has it, SSE2
// on any other x86-64, plain C++ elsewhere. All are pure functions, safe from
// any thread.
#pragma once

#include <cstddef>

namespace pallix::simkit {

// Sum of squared component differences of two n-float vectors.
float l2Squared(const float* a, const float* b, std::size_t n);
// Dot product of two n-float vectors.
float dot(const float* a, const float* b, std::size_t n);

// Name of the kernel set in use ("avx2", "sse2" or "scalar"), for reports.
const char* vectorKernelName();

// Portable reference versions, used on CPUs without SIMD and by tests.
float l2SquaredScalar(const float* a, const float* b, std::size_t n);
float dotScalar(const float* a, const float* b, std::size_t n);

}  // namespace pallix::simkit
