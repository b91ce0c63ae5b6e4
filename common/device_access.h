// Vector memory accesses of adjacent amplitudes and double-precision atomic addition, the two
// device facilities whose spelling differs between the builds.
#pragma once

#include "cu_complex.h"

#if !defined(VELLORAN_BACKEND_CUDA)
#include <atomic>
#endif

namespace velloran {

template <typename T>
struct AmplitudePair {
    CuComplex<T> lo;
    CuComplex<T> hi;
};

#if defined(VELLORAN_BACKEND_CUDA)

// Two adjacent amplitudes starting at a 16-byte aligned element: one 16-byte access for float,
// two for double.
VELLORAN_HD AmplitudePair<float> load_pair(const CuComplex<float>* p) {
    const float4 v = *reinterpret_cast<const float4*>(p);
    return {{v.x, v.y}, {v.z, v.w}};
}
VELLORAN_HD AmplitudePair<double> load_pair(const CuComplex<double>* p) {
    const double2 a = reinterpret_cast<const double2*>(p)[0];
    const double2 b = reinterpret_cast<const double2*>(p)[1];
    return {{a.x, a.y}, {b.x, b.y}};
}
VELLORAN_HD void store_pair(CuComplex<float>* p, AmplitudePair<float> v) {
    *reinterpret_cast<float4*>(p) = make_float4(v.lo.re, v.lo.im, v.hi.re, v.hi.im);
}
VELLORAN_HD void store_pair(CuComplex<double>* p, AmplitudePair<double> v) {
    reinterpret_cast<double2*>(p)[0] = make_double2(v.lo.re, v.lo.im);
    reinterpret_cast<double2*>(p)[1] = make_double2(v.hi.re, v.hi.im);
}
// One amplitude as a single 8- or 16-byte access.
VELLORAN_HD CuComplex<float> load_amplitude(const CuComplex<float>* p) {
    const float2 v = *reinterpret_cast<const float2*>(p);
    return {v.x, v.y};
}
VELLORAN_HD CuComplex<double> load_amplitude(const CuComplex<double>* p) {
    const double2 v = *reinterpret_cast<const double2*>(p);
    return {v.x, v.y};
}
VELLORAN_HD void store_amplitude(CuComplex<float>* p, CuComplex<float> v) {
    *reinterpret_cast<float2*>(p) = make_float2(v.re, v.im);
}
VELLORAN_HD void store_amplitude(CuComplex<double>* p, CuComplex<double> v) {
    *reinterpret_cast<double2*>(p) = make_double2(v.re, v.im);
}

__device__ __forceinline__ void atomic_add(double* address, double value) { atomicAdd(address, value); }

#else

// Field copies rather than block copies of the structs: the compiler then sees scalar loads and
// stores it can merge into vector accesses and vectorise across a loop (an aggregate copy of a
// 16-byte amplitude blocks both).
template <typename T>
inline CuComplex<T> load_amplitude(const CuComplex<T>* p) {
    return CuComplex<T>{p->re, p->im};
}
template <typename T>
inline void store_amplitude(CuComplex<T>* p, CuComplex<T> v) {
    p->re = v.re;
    p->im = v.im;
}
template <typename T>
inline AmplitudePair<T> load_pair(const CuComplex<T>* p) {
    return AmplitudePair<T>{load_amplitude(p), load_amplitude(p + 1)};
}
template <typename T>
inline void store_pair(CuComplex<T>* p, AmplitudePair<T> v) {
    store_amplitude(p, v.lo);
    store_amplitude(p + 1, v.hi);
}

inline void atomic_add(double* address, double value) {
    std::atomic_ref<double>(*address).fetch_add(value, std::memory_order_relaxed);
}

#endif

}  // namespace velloran
