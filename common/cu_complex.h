// The amplitude type shared by every kernel: two reals laid out exactly like NumPy's complex64 and
// complex128, with the handful of complex operations the kernels need on both sides.
#pragma once

#include "backend.h"

template <typename T>
struct CuComplex {
    T re;
    T im;
};

static_assert(sizeof(CuComplex<float>) == 8, "complex64 layout");
static_assert(sizeof(CuComplex<double>) == 16, "complex128 layout");

template <typename T>
VELLORAN_HD CuComplex<T> make_complex(T re, T im) {
    return CuComplex<T>{re, im};
}

template <typename T>
VELLORAN_HD CuComplex<T> operator+(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re + b.re, a.im + b.im};
}

template <typename T>
VELLORAN_HD CuComplex<T> operator-(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re - b.re, a.im - b.im};
}

template <typename T>
VELLORAN_HD CuComplex<T> operator*(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

template <typename T>
VELLORAN_HD CuComplex<T> scale(CuComplex<T> a, T s) {
    return CuComplex<T>{a.re * s, a.im * s};
}

// a * x + b * y, the row of a 2x2 product.
template <typename T>
VELLORAN_HD CuComplex<T> mul_add(CuComplex<T> a, CuComplex<T> x, CuComplex<T> b, CuComplex<T> y) {
    return a * x + b * y;
}
