// The dispatched SIMD kernels against a double-precision reference, over every
// length that exercises the vector bodies and their scalar tails.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "SimilaritySearchKit/VectorMath.h"

namespace pallix {
namespace {

TEST(VectorMathTest, KernelsMatchDoubleReferenceForEveryTailLength) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  for (std::size_t n = 0; n <= 100; ++n) {
    std::vector<float> a(n + 1), b(n + 1);  // +1: pointers offset by one float are unaligned
    for (std::size_t i = 0; i <= n; ++i) {
      a[i] = u(rng);
      b[i] = u(rng);
    }
    double l2 = 0, dp = 0;
    for (std::size_t i = 1; i <= n; ++i) {
      l2 += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
      dp += double(a[i]) * b[i];
    }
    const double tolerance = 1e-4 * (1.0 + double(n));
    EXPECT_NEAR(simkit::l2Squared(a.data() + 1, b.data() + 1, n), l2, tolerance) << "n=" << n;
    EXPECT_NEAR(simkit::dot(a.data() + 1, b.data() + 1, n), dp, tolerance) << "n=" << n;
    EXPECT_NEAR(simkit::l2SquaredScalar(a.data() + 1, b.data() + 1, n), l2, tolerance) << "n=" << n;
    EXPECT_NEAR(simkit::dotScalar(a.data() + 1, b.data() + 1, n), dp, tolerance) << "n=" << n;
  }
}

}  // namespace
}  // namespace pallix
