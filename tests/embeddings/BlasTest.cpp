// The matrix products against a direct evaluation of their definition, for
// every transpose and for leading dimensions wider than the matrices, both
// through the system library and through the loops used without one.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "SimilaritySearchKit/Blas.h"

namespace pallix {
namespace {

using blas::Transpose;

// The element (i, j) of op(m) for a row-major matrix with leading dimension ld.
float at(const std::vector<float>& m, Transpose t, int ld, int i, int j) {
  return t == Transpose::no ? m[static_cast<size_t>(i * ld + j)] : m[static_cast<size_t>(j * ld + i)];
}

std::vector<float> randomMatrix(size_t size, std::mt19937& rng) {
  std::uniform_real_distribution<float> value(-1, 1);
  std::vector<float> m(size);
  for (float& v : m) v = value(rng);
  return m;
}

using Sgemm = void (*)(Transpose, Transpose, int, int, int, float, const float*, int, const float*, int, float, float*,
                       int);
using Sgemv = void (*)(int, int, float, const float*, int, const float*, float, float*);

void expectProductsMatchTheDefinition(Sgemm sgemm, Sgemv sgemv) {
  std::mt19937 rng(7);
  for (Transpose ta : {Transpose::no, Transpose::yes}) {
    for (Transpose tb : {Transpose::no, Transpose::yes}) {
      const int m = 5, n = 7, k = 3, pad = 2;
      const int lda = (ta == Transpose::no ? k : m) + pad, ldb = (tb == Transpose::no ? n : k) + pad, ldc = n + pad;
      const auto a = randomMatrix(static_cast<size_t>((ta == Transpose::no ? m : k) * lda), rng);
      const auto b = randomMatrix(static_cast<size_t>((tb == Transpose::no ? k : n) * ldb), rng);
      auto c = randomMatrix(static_cast<size_t>(m * ldc), rng);
      const auto before = c;
      sgemm(ta, tb, m, n, k, 0.5f, a.data(), lda, b.data(), ldb, 2.0f, c.data(), ldc);
      for (int i = 0; i < m; ++i) {
        for (int j = 0; j < ldc; ++j) {
          const size_t cell = static_cast<size_t>(i * ldc + j);
          if (j >= n) {
            EXPECT_EQ(c[cell], before[cell]) << "padding is left alone";
            continue;
          }
          double sum = 0;
          for (int p = 0; p < k; ++p) sum += at(a, ta, lda, i, p) * at(b, tb, ldb, p, j);
          EXPECT_NEAR(c[cell], 0.5 * sum + 2.0 * before[cell], 1e-5) << i << "," << j;
        }
      }
    }
  }
  // beta 0 ignores what c held, even NaN.
  const std::vector<float> a = {1, 2, 3, 4}, x = {1, -1};
  std::vector<float> y = {std::nanf(""), std::nanf("")};
  sgemv(2, 2, 1.0f, a.data(), 2, x.data(), 0.0f, y.data());
  EXPECT_EQ(y, (std::vector<float>{-1, -1}));
  y = {10, 20};
  sgemv(2, 2, 2.0f, a.data(), 2, x.data(), 1.0f, y.data());
  EXPECT_EQ(y, (std::vector<float>{8, 18}));
}

TEST(BlasTest, TheSystemLibraryComputesTheDefinition) {
  ASSERT_TRUE(blas::libraryLoaded()) << "libblas.so.3 is installed by scripts/setup.sh (libopenblas-dev)";
  expectProductsMatchTheDefinition(blas::sgemm, blas::sgemv);
}

TEST(BlasTest, TheLoopsWithoutALibraryComputeTheDefinition) {
  expectProductsMatchTheDefinition(blas::reference::sgemm, blas::reference::sgemv);
}

}  // namespace
}  // namespace pallix
