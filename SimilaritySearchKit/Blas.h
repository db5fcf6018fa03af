// Blas: the two matrix products the CPU transformer runtime and the query
// router need, from the system's BLAS library (libblas.so.3: OpenBLAS or
// the reference implementation, whichever Debian's alternatives select).
//
// The library is opened on the first product, not when a program starts:
// OpenBLAS starts its worker threads as it loads, and most Pallix processes
// never run an encoder. Without a loadable library the products run as
// plain loops (correct, slower) and one error is logged.
//
// Thread-safe. Matrices are row-major.
#pragma once

namespace pallix::blas {

enum class Transpose { no, yes };

// c[m×n] = alpha · op(a)[m×k] · op(b)[k×n] + beta · c.
void sgemm(Transpose ta, Transpose tb, int m, int n, int k, float alpha, const float* a, int lda, const float* b,
           int ldb, float beta, float* c, int ldc);
// y[m] = alpha · a[m×n] · x[n] + beta · y.
void sgemv(int m, int n, float alpha, const float* a, int lda, const float* x, float beta, float* y);
// Sets the library's thread count where it has one (OpenBLAS); false otherwise.
bool setThreadCount(int threads);
// Whether the products go through a BLAS library (opening it if needed).
bool libraryLoaded();

// The plain loops used without a library.
namespace reference {
void sgemm(Transpose ta, Transpose tb, int m, int n, int k, float alpha, const float* a, int lda, const float* b,
           int ldb, float beta, float* c, int ldc);
void sgemv(int m, int n, float alpha, const float* a, int lda, const float* x, float beta, float* y);
}  // namespace reference

}  // namespace pallix::blas
