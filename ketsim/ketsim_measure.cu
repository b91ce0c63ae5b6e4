// Measurement of a device state vector: the probability and collapse kernels, and the host
// sampling core that draws outcomes from the summed probabilities with a seeded Mersenne Twister.
#include "ketsim_measure.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <unordered_map>

#include "../common/block_loops.h"
#include "../common/cuda_check.h"
#include "../common/interrupt.h"
#include "../common/device_access.h"
#include "../common/device_buffer.h"
#include "../common/launch.h"
#include "gates/index_bits.h"

namespace ketsim {

namespace {

constexpr unsigned int kMeasureBlock = 256;

// The outcome index of amplitude index i: the first target is the most significant outcome bit.
VELLORAN_HD uint64_t outcome_of(uint64_t i, int64_t n, const int64_t* targets, int64_t k, bool little) {
    uint64_t o = 0;
    for (int64_t j = 0; j < k; ++j) {
        const int64_t position = little ? targets[j] : n - 1 - targets[j];
        o = (o << 1) | ((i >> position) & 1u);
    }
    return o;
}

}  // namespace

// probs[o] += |state[i]|^2 over every amplitude i of outcome o; always summed in double.
template <typename T>
__global__ void measure_probs_kernel(int64_t n, const CuComplex<T>* state, const int64_t* targets, int64_t k,
                                     bool little, double* probs) {
    velloran::for_grid_stride_index(uint64_t{1} << n, 0, 0, [=](uint64_t i) {
        const CuComplex<T> a = velloran::load_amplitude(state + i);
        const double re = static_cast<double>(a.re);
        const double im = static_cast<double>(a.im);
        velloran::atomic_add(probs + outcome_of(i, n, targets, k, little), re * re + im * im);
    });
}

// Keeps the amplitudes of `outcome`, scaled, and zeroes every other one. The product is taken in
// double so that a complex64 state whose kept amplitudes are tiny still renormalises (the scale
// can exceed the float range while every scaled amplitude stays below 1).
template <typename T>
__global__ void measure_collapse_kernel(int64_t n, CuComplex<T>* state, const int64_t* targets, int64_t k,
                                        bool little, uint64_t outcome, double scale) {
    velloran::for_grid_stride_index(uint64_t{1} << n, 0, 0, [=](uint64_t i) {
        CuComplex<T> a{T(0), T(0)};
        if (outcome_of(i, n, targets, k, little) == outcome) {
            a = velloran::load_amplitude(state + i);
            a.re = static_cast<T>(static_cast<double>(a.re) * scale);
            a.im = static_cast<T>(static_cast<double>(a.im) * scale);
        }
        velloran::store_amplitude(state + i, a);
    });
}

void check_measure_targets(uint64_t n, const std::vector<int64_t>& targets, const std::string& endian,
                           uint64_t shots) {
    if (targets.empty() || targets.size() > 62) throw std::invalid_argument("measure targets size must be in [1, 62]");
    if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
    uint64_t seen = 0;
    for (const int64_t t : targets) {
        if (t < 0 || static_cast<uint64_t>(t) >= n) throw std::invalid_argument("measure target index out of range");
        const uint64_t bit = uint64_t{1} << t;
        if (seen & bit) throw std::invalid_argument("duplicate measure target index");
        seen |= bit;
    }
    if (shots == 0) throw std::invalid_argument("shots must be positive");
}

namespace {

void validate_measurement(int64_t n, uint64_t num_state, const std::vector<int64_t>& targets,
                          const std::string& endian, uint64_t shots) {
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    if (num_state != (uint64_t{1} << n)) throw std::invalid_argument("state size does not match 2**n");
    check_measure_targets(static_cast<uint64_t>(n), targets, endian, shots);
}

// A uniform point in [0, total): one generator output scaled by 2^-64, kept below 1.
double draw_point(std::mt19937_64& generator, double total) {
    double u = std::ldexp(static_cast<double>(generator()), -64);
    if (u >= 1.0) u = 0.9999999999999999;
    return u * total;
}

// The first outcome whose running sum exceeds r, or the last outcome when rounding leaves none.
uint64_t pick_outcome(const std::vector<double>& cdf, double r) {
    const auto it = std::upper_bound(cdf.begin(), cdf.end(), r);
    return it == cdf.end() ? cdf.size() - 1 : static_cast<uint64_t>(it - cdf.begin());
}

std::string outcome_string(uint64_t o, size_t k) {
    std::string bits(k, '0');
    for (size_t c = 0; c < k; ++c) {
        if ((o >> (k - 1 - c)) & 1u) bits[c] = '1';
    }
    return bits;
}

// Draws the shots from the running sums `cdf`, one generator output per shot; returns the counts by
// bit string and sets `last` to the final outcome.
std::map<std::string, uint64_t> draw_counts(const std::vector<double>& cdf, uint64_t shots, uint64_t seed,
                                            size_t k, uint64_t& last) {
    const double total = cdf.back();
    std::mt19937_64 generator(seed);
    std::map<std::string, uint64_t> counts;
    const uint64_t outcomes = cdf.size();
    if (outcomes < shots) {
        // Fewer outcomes than shots: a dense table is smaller than a map of what was drawn.
        std::vector<uint64_t> dense(outcomes, 0);
        for (uint64_t s = 0; s < shots; ++s) {
            velloran::poll_interrupt_every(s);
            last = pick_outcome(cdf, draw_point(generator, total));
            ++dense[last];
        }
        for (uint64_t o = 0; o < outcomes; ++o) {
            if (dense[o] != 0) counts.emplace(outcome_string(o, k), dense[o]);
        }
    } else {
        std::unordered_map<uint64_t, uint64_t> sparse;
        sparse.reserve(static_cast<size_t>(std::min<uint64_t>(shots, uint64_t{1} << 20)));
        for (uint64_t s = 0; s < shots; ++s) {
            velloran::poll_interrupt_every(s);
            last = pick_outcome(cdf, draw_point(generator, total));
            ++sparse[last];
        }
        for (const auto& [o, count] : sparse) counts.emplace(outcome_string(o, k), count);
    }
    return counts;
}

}  // namespace

SampleResult draw_outcomes(const std::vector<double>& probs, uint64_t shots, uint64_t seed, size_t k,
                           uint64_t& last) {
    std::vector<double> cdf(probs);
    for (size_t o = 1; o < cdf.size(); ++o) cdf[o] += cdf[o - 1];
    const double total = cdf.back();
    if (!(total > 0.0 && total <= 1.7976931348623157e308)) {
        throw std::runtime_error("Quantum state has zero or invalid norm.");
    }
    SampleResult result;
    result.counts = draw_counts(cdf, shots, seed, k, last);
    result.last_outcome = outcome_string(last, k);
    return result;
}


template <typename T>
SampleResult sample_outcomes(int64_t n, CuComplex<T>* state, uint64_t num_state, const std::vector<int64_t>& targets,
                             const std::string& endian, int32_t device_id, uint64_t shots, uint64_t seed,
                             bool collapse) {
    validate_measurement(n, num_state, targets, endian, shots);
    const int64_t k = static_cast<int64_t>(targets.size());
    const bool little = endian == "little";
    // k <= 62, so the count fits; its byte size may not, and DeviceBuffer refuses such sizes with
    // the out-of-memory error instead of allocating a wrapped one.
    const uint64_t outcomes = uint64_t{1} << k;

    velloran::check_cuda(cudaSetDevice(device_id));
    velloran::DeviceBuffer<int64_t> device_targets(static_cast<uint64_t>(k));
    velloran::DeviceBuffer<double> probs(outcomes);
    velloran::check_cuda(cudaMemcpy(device_targets.get(), targets.data(), velloran::checked_bytes(k, sizeof(int64_t)),
                                    cudaMemcpyHostToDevice));
    const size_t prob_bytes = velloran::checked_bytes(outcomes, sizeof(double));
    velloran::check_cuda(cudaMemset(probs.get(), 0, prob_bytes));

    // The loops stride over the whole state, so a grid capped at the device limit covers any n.
    const dim3 grid(velloran::capped_grid_for(num_state, kMeasureBlock, velloran::kMaxGridX));
    velloran::launch_indexed_kernel<&measure_probs_kernel<T>>(grid, dim3(kMeasureBlock), 0, nullptr, n,
                                                              static_cast<const CuComplex<T>*>(state),
                                                              static_cast<const int64_t*>(device_targets.get()), k,
                                                              little, probs.get());
    velloran::check_cuda(cudaGetLastError());

    std::vector<double> host_probs(outcomes);
    velloran::check_cuda(cudaMemcpy(host_probs.data(), probs.get(), prob_bytes, cudaMemcpyDeviceToHost));
    uint64_t last = 0;
    SampleResult result = draw_outcomes(host_probs, shots, seed, static_cast<size_t>(k), last);

    if (collapse) {
        // The outcome's own summed probability, read back from the device: a difference of two
        // running sums loses the digits of a small probability that follows a large one.
        double p = 0.0;
        velloran::check_cuda(cudaMemcpy(&p, probs.get() + last, sizeof p, cudaMemcpyDeviceToHost));
        if (!(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");
        const double scale = 1.0 / std::sqrt(p);
        velloran::launch_indexed_kernel<&measure_collapse_kernel<T>>(grid, dim3(kMeasureBlock), 0, nullptr, n, state,
                                                                     static_cast<const int64_t*>(device_targets.get()),
                                                                     k, little, last, scale);
        velloran::check_cuda(cudaGetLastError());
    }

    probs.free_checked();
    device_targets.free_checked();
    return result;
}

template SampleResult sample_outcomes<float>(int64_t, CuComplex<float>*, uint64_t, const std::vector<int64_t>&,
                                             const std::string&, int32_t, uint64_t, uint64_t, bool);
template SampleResult sample_outcomes<double>(int64_t, CuComplex<double>*, uint64_t, const std::vector<int64_t>&,
                                              const std::string&, int32_t, uint64_t, uint64_t, bool);

}  // namespace ketsim
