// Density measurement: the probability and collapse kernels and the host-side draw with a seeded
// 64-bit Mersenne Twister (see rhosim_measure.h).
#include "rhosim_measure.h"

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "../common/device_access.h"
#include "../common/device_buffer.h"
#include "density_kernels.h"

namespace velloran::rhosim {

namespace {

// The outcome index of basis index i: the bit of targets[j] goes to bit k - 1 - j.
VELLORAN_HD uint64_t outcome_of(uint64_t i, uint64_t n, const int64_t* targets, int64_t k, bool little) {
    uint64_t o = 0;
    for (int64_t j = 0; j < k; ++j) {
        const int64_t q = little ? targets[j] : static_cast<int64_t>(n) - 1 - targets[j];
        o |= ((i >> q) & 1u) << (k - 1 - j);
    }
    return o;
}

template <typename T>
__global__ void density_measure_probs_kernel(uint64_t n, const CuComplex<T>* rho, const int64_t* targets, int64_t k,
                                             bool little, double* probabilities) {
    const uint64_t dim = uint64_t{1} << n;
    const uint64_t stride = thread_stride_1d();
    for (uint64_t i = thread_index_1d(); i < dim; i += stride) {
        atomic_add(probabilities + outcome_of(i, n, targets, k, little), static_cast<double>(rho[i * dim + i].re));
    }
}

template <typename T>
__global__ void density_measure_collapse_kernel(uint64_t n, CuComplex<T>* rho, const int64_t* targets, int64_t k,
                                                bool little, uint64_t outcome, double scale) {
    const uint64_t dim = uint64_t{1} << n;
    const uint64_t r = entry_row();
    const uint64_t c = entry_column();
    if (r >= dim || c >= dim) return;
    CuComplex<T>* entry = rho + (r * dim + c);
    CuComplex<T> kept{T(0), T(0)};
    if (outcome_of(r, n, targets, k, little) == outcome && outcome_of(c, n, targets, k, little) == outcome) {
        const CuComplex<T> a = load_amplitude(entry);
        kept = CuComplex<T>{static_cast<T>(static_cast<double>(a.re) * scale),
                            static_cast<T>(static_cast<double>(a.im) * scale)};
    }
    store_amplitude(entry, kept);
}

void check_measure_arguments(uint64_t n, const std::vector<int64_t>& targets, const std::string& endian) {
    if (n < 1 || n > 15) throw std::invalid_argument("num_qubits must be in [1, 15]");
    if (targets.empty()) throw std::invalid_argument("measure targets must not be empty");
    if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
    uint64_t seen = 0;
    for (const int64_t t : targets) {
        if (t < 0 || static_cast<uint64_t>(t) >= n) throw std::invalid_argument("measure target index out of range");
        if (seen & (uint64_t{1} << t)) throw std::invalid_argument("duplicate measure target index");
        seen |= uint64_t{1} << t;
    }
}

// Draws an outcome in proportion to the (unnormalised) probabilities.
uint64_t draw_outcome(const std::vector<double>& probabilities, uint64_t seed) {
    double total = 0.0;
    for (const double p : probabilities) total += p;
    if (!(total > 0.0) || !std::isfinite(total)) throw std::runtime_error("density matrix has zero or invalid trace.");
    std::mt19937_64 generator(seed);
    double u = static_cast<double>(generator()) * 0x1p-64;
    if (u >= 1.0) u = 0.9999999999999999;
    const double threshold = u * std::nextafter(total, std::numeric_limits<double>::max());
    double cumulative = 0.0;
    for (uint64_t o = 0; o < probabilities.size(); ++o) {
        cumulative += probabilities[o];
        if (cumulative >= threshold) return o;
    }
    return probabilities.size() - 1;
}

}  // namespace

template <typename T>
std::string measure_density(uint64_t n, CuComplex<T>* rho, const std::vector<int64_t>& targets,
                            const std::string& endian, int32_t device_id, uint64_t seed) {
    check_measure_arguments(n, targets, endian);
    const int64_t k = static_cast<int64_t>(targets.size());
    const uint64_t outcomes = uint64_t{1} << k;
    const uint64_t dim = uint64_t{1} << n;
    const bool little = endian == "little";

    check_cuda(cudaSetDevice(device_id));
    DeviceBuffer<int64_t> device_targets(static_cast<uint64_t>(k));
    DeviceBuffer<double> probabilities(outcomes);
    check_cuda(cudaMemcpy(device_targets.get(), targets.data(), sizeof(int64_t) * targets.size(),
                          cudaMemcpyHostToDevice));
    check_cuda(cudaMemset(probabilities.get(), 0, sizeof(double) * outcomes));

    launch_kernel<&density_measure_probs_kernel<T>>(dim3(grid_for(dim, kDensityBlock)), dim3(kDensityBlock), 0,
                                                    nullptr, n, static_cast<const CuComplex<T>*>(rho),
                                                    static_cast<const int64_t*>(device_targets.get()), k, little,
                                                    probabilities.get());
    check_cuda(cudaGetLastError());
    std::vector<double> host(outcomes);
    check_cuda(cudaMemcpy(host.data(), probabilities.get(), sizeof(double) * outcomes, cudaMemcpyDeviceToHost));

    const uint64_t outcome = draw_outcome(host, seed);
    const double p = host[outcome];
    if (!(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");

    launch_kernel<&density_measure_collapse_kernel<T>>(entry_grid(dim), dim3(kTileX, kTileY), 0, nullptr, n, rho,
                                                       static_cast<const int64_t*>(device_targets.get()), k, little,
                                                       outcome, 1.0 / p);
    check_cuda(cudaGetLastError());
    probabilities.free_checked();
    device_targets.free_checked();

    std::string bits(static_cast<size_t>(k), '0');
    for (int64_t j = 0; j < k; ++j) bits[j] = static_cast<char>('0' + ((outcome >> (k - 1 - j)) & 1u));
    return bits;
}

template std::string measure_density<float>(uint64_t, CuComplex<float>*, const std::vector<int64_t>&,
                                            const std::string&, int32_t, uint64_t);
template std::string measure_density<double>(uint64_t, CuComplex<double>*, const std::vector<int64_t>&,
                                             const std::string&, int32_t, uint64_t);

}  // namespace velloran::rhosim
