// The complex GEMM the DenseMM executor issues (and the other operand forms), checked against a
// plain triple loop: on cuBLAS in the cuda build, on the CPU-BLAS stand-in in the host build.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "common/blas.h"
#include "test_support.h"

namespace {

using velloran::DeviceBuffer;
using velloran::testing::download;
using velloran::testing::RuntimeTest;
using velloran::testing::upload;

// The GEMM of each precision, its element type, and the error its results may carry per product.
template <typename T>
struct Gemm;

template <>
struct Gemm<float> {
    using Scalar = cuComplex;
    static constexpr auto run = &cublasCgemm;
    static constexpr double kTolerance = 1e-4;
};

template <>
struct Gemm<double> {
    using Scalar = cuDoubleComplex;
    static constexpr auto run = &cublasZgemm;
    static constexpr double kTolerance = 1e-12;
};

// Column-major matrices held as std::complex<double>, converted to the GEMM's element type.
struct Matrix {
    int rows, cols;
    std::vector<std::complex<double>> v;
    std::complex<double> at(int r, int c) const { return v[r + c * rows]; }
};

Matrix random_matrix(int rows, int cols, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-1, 1);
    Matrix m{rows, cols, std::vector<std::complex<double>>(static_cast<size_t>(rows) * cols)};
    for (auto& x : m.v) x = {u(rng), u(rng)};
    return m;
}

std::complex<double> op_at(const Matrix& m, cublasOperation_t op, int r, int c) {
    if (op == CUBLAS_OP_N) return m.at(r, c);
    if (op == CUBLAS_OP_T) return m.at(c, r);
    return std::conj(m.at(c, r));
}

template <typename S>
std::vector<S> to_scalars(const Matrix& m) {
    std::vector<S> out(m.v.size());
    for (size_t i = 0; i < m.v.size(); ++i) out[i] = {static_cast<decltype(S::x)>(m.v[i].real()),
                                                      static_cast<decltype(S::x)>(m.v[i].imag())};
    return out;
}

template <typename T>
class ComplexGemm : public RuntimeTest {
protected:
    using S = typename Gemm<T>::Scalar;

    void SetUp() override {
        RuntimeTest::SetUp();
        ASSERT_EQ(cublasCreate(&handle_), CUBLAS_STATUS_SUCCESS);
        ASSERT_EQ(cublasSetStream(handle_, nullptr), CUBLAS_STATUS_SUCCESS);
    }
    void TearDown() override {
        EXPECT_EQ(cublasDestroy(handle_), CUBLAS_STATUS_SUCCESS);
        RuntimeTest::TearDown();
    }

    // C = alpha op(A) op(B) + beta C on the device, compared with the loop over the same operands.
    void check(cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k, std::complex<double> alpha,
               std::complex<double> beta) {
        std::mt19937_64 rng(static_cast<uint64_t>(m * 131 + n * 17 + k));
        const Matrix a = ta == CUBLAS_OP_N ? random_matrix(m, k, rng) : random_matrix(k, m, rng);
        const Matrix b = tb == CUBLAS_OP_N ? random_matrix(k, n, rng) : random_matrix(n, k, rng);
        const Matrix c0 = random_matrix(m, n, rng);
        DeviceBuffer<S> da = upload(to_scalars<S>(a));
        DeviceBuffer<S> db = upload(to_scalars<S>(b));
        DeviceBuffer<S> dc = upload(to_scalars<S>(c0));
        const S alpha_s{static_cast<T>(alpha.real()), static_cast<T>(alpha.imag())};
        const S beta_s{static_cast<T>(beta.real()), static_cast<T>(beta.imag())};
        ASSERT_EQ(Gemm<T>::run(handle_, ta, tb, m, n, k, &alpha_s, da.get(), a.rows, db.get(), b.rows, &beta_s,
                               dc.get(), m),
                  CUBLAS_STATUS_SUCCESS);
        const std::vector<S> c = download(dc);
        for (int r = 0; r < m; ++r) {
            for (int col = 0; col < n; ++col) {
                std::complex<double> sum = 0;
                for (int j = 0; j < k; ++j) sum += op_at(a, ta, r, j) * op_at(b, tb, j, col);
                const std::complex<double> expected = alpha * sum + beta * c0.at(r, col);
                const S got = c[r + static_cast<size_t>(col) * m];
                ASSERT_NEAR(got.x, expected.real(), Gemm<T>::kTolerance * (k + 1)) << r << "," << col;
                ASSERT_NEAR(got.y, expected.imag(), Gemm<T>::kTolerance * (k + 1)) << r << "," << col;
            }
        }
    }

    cublasHandle_t handle_ = nullptr;
};

using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ComplexGemm, Precisions);

// The DenseMM form: a row-major 2^k x 2^k group matrix read column-major (OP_T) times the gathered
// state, 2^k rows by 2^(n-k) columns (OP_N), alpha 1, beta 0.
TYPED_TEST(ComplexGemm, DenseMMForm) {
    for (const int active : {1, 2, 3, 5}) {
        for (const int cols : {1, 2, 64, 300}) {
            const int rows = 1 << active;
            this->check(CUBLAS_OP_T, CUBLAS_OP_N, rows, cols, rows, 1.0, 0.0);
        }
    }
}

TYPED_TEST(ComplexGemm, OtherOperandFormsAndScalars) {
    const std::complex<double> alpha(0.5, -1.25);
    const std::complex<double> beta(-0.75, 0.5);
    for (const cublasOperation_t ta : {CUBLAS_OP_N, CUBLAS_OP_T, CUBLAS_OP_C}) {
        for (const cublasOperation_t tb : {CUBLAS_OP_N, CUBLAS_OP_T, CUBLAS_OP_C}) {
            this->check(ta, tb, 7, 5, 9, alpha, beta);
        }
    }
}

TYPED_TEST(ComplexGemm, InvalidShapesAreRefused) {
    using S = typename Gemm<TypeParam>::Scalar;
    DeviceBuffer<S> buffer(64);
    const S one{1, 0};
    EXPECT_EQ(Gemm<TypeParam>::run(this->handle_, CUBLAS_OP_N, CUBLAS_OP_N, -1, 2, 2, &one, buffer.get(), 2,
                                   buffer.get(), 2, &one, buffer.get(), 2),
              CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(Gemm<TypeParam>::run(this->handle_, CUBLAS_OP_N, CUBLAS_OP_N, 4, 2, 2, &one, buffer.get(), 3,
                                   buffer.get(), 2, &one, buffer.get(), 4),
              CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(Gemm<TypeParam>::run(this->handle_, CUBLAS_OP_T, CUBLAS_OP_N, 2, 2, 4, &one, buffer.get(), 3,
                                   buffer.get(), 4, &one, buffer.get(), 2),
              CUBLAS_STATUS_INVALID_VALUE);
}

}  // namespace
