#include "SimilaritySearchKit/Blas.h"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>

#include "core/Logger.h"

namespace pallix::blas {
namespace {

// CBLAS's constants (cblas.h), so that no header of one implementation is needed.
constexpr int kRowMajor = 101;
constexpr int kNoTrans = 111;
constexpr int kTrans = 112;

using Sgemm = void (*)(int, int, int, int, int, int, float, const float*, int, const float*, int, float, float*, int);
using Sgemv = void (*)(int, int, int, int, float, const float*, int, const float*, int, float, float*, int);
using SetThreads = void (*)(int);

struct Library {
  Sgemm sgemm = nullptr;
  Sgemv sgemv = nullptr;
  SetThreads setThreads = nullptr;
};

const Library& library() {
  static Library loaded;
  static std::once_flag once;
  std::call_once(once, [] {
    for (const char* name : {"libblas.so.3", "libopenblas.so.0"}) {
      void* handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
      if (!handle) continue;
      loaded.sgemm = reinterpret_cast<Sgemm>(::dlsym(handle, "cblas_sgemm"));
      loaded.sgemv = reinterpret_cast<Sgemv>(::dlsym(handle, "cblas_sgemv"));
      loaded.setThreads = reinterpret_cast<SetThreads>(::dlsym(handle, "openblas_set_num_threads"));
      if (loaded.sgemm && loaded.sgemv) return;
      loaded = Library();
      ::dlclose(handle);
    }
    static const Logger* logger = new Logger("Blas");
    logger->error("No BLAS library with CBLAS (libblas.so.3) could be loaded: %s; encoding runs without it, slower",
                  ::dlerror() ? ::dlerror() : "not found");
  });
  return loaded;
}

int cblasTranspose(Transpose t) {
  return t == Transpose::yes ? kTrans : kNoTrans;
}

}  // namespace

void sgemm(Transpose ta, Transpose tb, int m, int n, int k, float alpha, const float* a, int lda, const float* b,
           int ldb, float beta, float* c, int ldc) {
  const Library& lib = library();
  if (!lib.sgemm) return reference::sgemm(ta, tb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
  lib.sgemm(kRowMajor, cblasTranspose(ta), cblasTranspose(tb), m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

void sgemv(int m, int n, float alpha, const float* a, int lda, const float* x, float beta, float* y) {
  const Library& lib = library();
  if (!lib.sgemv) return reference::sgemv(m, n, alpha, a, lda, x, beta, y);
  lib.sgemv(kRowMajor, kNoTrans, m, n, alpha, a, lda, x, 1, beta, y, 1);
}

bool setThreadCount(int threads) {
  const Library& lib = library();
  if (!lib.setThreads) return false;
  lib.setThreads(std::max(1, threads));
  return true;
}

bool libraryLoaded() {
  return library().sgemm != nullptr;
}

namespace reference {

void sgemm(Transpose ta, Transpose tb, int m, int n, int k, float alpha, const float* a, int lda, const float* b,
           int ldb, float beta, float* c, int ldc) {
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) {
      float sum = 0;
      for (int p = 0; p < k; ++p) {
        const float av = ta == Transpose::no ? a[i * lda + p] : a[p * lda + i];
        const float bv = tb == Transpose::no ? b[p * ldb + j] : b[j * ldb + p];
        sum += av * bv;
      }
      float& out = c[i * ldc + j];
      out = alpha * sum + (beta == 0.0f ? 0.0f : beta * out);
    }
  }
}

void sgemv(int m, int n, float alpha, const float* a, int lda, const float* x, float beta, float* y) {
  for (int i = 0; i < m; ++i) {
    float sum = 0;
    for (int j = 0; j < n; ++j) sum += a[i * lda + j] * x[j];
    y[i] = alpha * sum + (beta == 0.0f ? 0.0f : beta * y[i]);
  }
}

}  // namespace reference
}  // namespace pallix::blas
