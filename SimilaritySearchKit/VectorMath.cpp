#include "SimilaritySearchKit/VectorMath.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PALLIX_SIMKIT_X86 1
#endif

namespace pallix::simkit {

float l2SquaredScalar(const float* a, const float* b, std::size_t n) {
  // Four independent accumulators let the compiler vectorise without -ffast-math.
  float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    float d0 = a[i] - b[i], d1 = a[i + 1] - b[i + 1], d2 = a[i + 2] - b[i + 2], d3 = a[i + 3] - b[i + 3];
    s0 += d0 * d0;
    s1 += d1 * d1;
    s2 += d2 * d2;
    s3 += d3 * d3;
  }
  for (; i < n; ++i) {
    float d = a[i] - b[i];
    s0 += d * d;
  }
  return (s0 + s1) + (s2 + s3);
}

float dotScalar(const float* a, const float* b, std::size_t n) {
  float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

#if PALLIX_SIMKIT_X86
namespace {

__attribute__((target("avx2,fma"))) inline float horizontalSum256(__m256 v) {
  __m128 lo = _mm256_castps256_ps128(v);
  __m128 hi = _mm256_extractf128_ps(v, 1);
  lo = _mm_add_ps(lo, hi);
  lo = _mm_add_ps(lo, _mm_movehl_ps(lo, lo));
  lo = _mm_add_ss(lo, _mm_shuffle_ps(lo, lo, 0x55));
  return _mm_cvtss_f32(lo);
}

__attribute__((target("avx2,fma"))) float l2SquaredAvx2(const float* a, const float* b, std::size_t n) {
  __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
    acc0 = _mm256_fmadd_ps(d0, d0, acc0);
    acc1 = _mm256_fmadd_ps(d1, d1, acc1);
  }
  for (; i + 8 <= n; i += 8) {
    __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    acc0 = _mm256_fmadd_ps(d, d, acc0);
  }
  float sum = horizontalSum256(_mm256_add_ps(acc0, acc1));
  for (; i < n; ++i) {
    float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

__attribute__((target("avx2,fma"))) float dotAvx2(const float* a, const float* b, std::size_t n) {
  __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc0);
    acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), acc1);
  }
  for (; i + 8 <= n; i += 8) acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc0);
  float sum = horizontalSum256(_mm256_add_ps(acc0, acc1));
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

inline float horizontalSum128(__m128 v) {
  v = _mm_add_ps(v, _mm_movehl_ps(v, v));
  v = _mm_add_ss(v, _mm_shuffle_ps(v, v, 0x55));
  return _mm_cvtss_f32(v);
}

float l2SquaredSse(const float* a, const float* b, std::size_t n) {
  __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128 d0 = _mm_sub_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
    __m128 d1 = _mm_sub_ps(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4));
    acc0 = _mm_add_ps(acc0, _mm_mul_ps(d0, d0));
    acc1 = _mm_add_ps(acc1, _mm_mul_ps(d1, d1));
  }
  float sum = horizontalSum128(_mm_add_ps(acc0, acc1));
  for (; i < n; ++i) {
    float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

float dotSse(const float* a, const float* b, std::size_t n) {
  __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    acc0 = _mm_add_ps(acc0, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    acc1 = _mm_add_ps(acc1, _mm_mul_ps(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4)));
  }
  float sum = horizontalSum128(_mm_add_ps(acc0, acc1));
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

using Kernel = float (*)(const float*, const float*, std::size_t);

struct KernelSet {
  Kernel l2;
  Kernel dot;
  const char* name;
};

KernelSet chooseKernels() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return {l2SquaredAvx2, dotAvx2, "avx2"};
  return {l2SquaredSse, dotSse, "sse2"};
}

const KernelSet kKernels = chooseKernels();

}  // namespace

float l2Squared(const float* a, const float* b, std::size_t n) {
  return kKernels.l2(a, b, n);
}
float dot(const float* a, const float* b, std::size_t n) {
  return kKernels.dot(a, b, n);
}
const char* vectorKernelName() {
  return kKernels.name;
}

#else

float l2Squared(const float* a, const float* b, std::size_t n) {
  return l2SquaredScalar(a, b, n);
}
float dot(const float* a, const float* b, std::size_t n) {
  return dotScalar(a, b, n);
}
const char* vectorKernelName() {
  return "scalar";
}

#endif

}  // namespace pallix::simkit
