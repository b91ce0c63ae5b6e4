// Pauli expectation values on a device state vector: the pass kernel, which sums up to
// kPauliTermsPerPass terms sharing one flip mask per read of the state, and the host side that
// groups the terms, queues their passes and adds each term's per-block partial sums in order.
//
// For a string with flip mask f (its X and Y qubits), phase mask z (its Z and Y qubits) and y = |f & z|
// Y factors (|x| counts the set bits of x), P|i> = i^y (-1)^|i & z| |i ^ f>, so
//     <psi|P|psi> = i^y sum_i (-1)^|i & z| conj(psi[i ^ f]) psi[i].
// With f = 0 this is sum_i (-1)^|i & z| |psi[i]|^2. Otherwise the indices pair up as (i, i ^ f) with i
// the one whose highest bit of f is clear; with w = conj(psi[i ^ f]) psi[i] the pair adds
// i^y (-1)^|i & z| (w + (-1)^y conj(w)), which is 2 Re(w) or 2i Im(w) times i^y and a sign. A pass
// therefore forms Re(w) and Im(w) once per pair, every term adds the one its Y count selects with
// its own sign, and the host multiplies each sum by the term's constant factor.
#include "ketsim_pauli.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

#include "../common/cuda_check.h"
#include "../common/device_access.h"
#include "../common/device_buffer.h"
#include "../common/interrupt.h"
#include "../common/launch.h"
#include "gates/index_bits.h"

namespace ketsim {

namespace {

constexpr int32_t kPauliBlockBits = 8;       // log2(kPauliBlock)
constexpr int32_t kPauliMaxBlockBits = 10;   // log2(kPauliMaxBlocks)
static_assert(kPauliBlock == 1u << kPauliBlockBits && kPauliMaxBlocks == 1u << kPauliMaxBlockBits);
static_assert(kPauliTermsPerPass <= 32, "the imaginary flags are one 32-bit word");

// What one pass sums: the shared flip mask, its highest bit (0 when nothing flips), and per term
// the phase mask and whether it takes the imaginary part (odd Y count). Slots past `count` hold
// phase 0 and the real part: the kernel sums them like the others, and nobody reads them.
struct PauliPass {
    uint64_t flip;
    uint64_t pair_bit;
    uint64_t phase[kPauliTermsPerPass];
    uint32_t imaginary;
    int32_t count;
};

// 1 when x has an odd number of set bits.
VELLORAN_HD uint32_t parity(uint64_t x) {
    uint32_t v = static_cast<uint32_t>(x ^ (x >> 32));
    v ^= v >> 16;
    v ^= v >> 8;
    v ^= v >> 4;
    return (0x6996u >> (v & 15u)) & 1u;
}

// v, negated when `negate` (0 or 1) is 1: the sign bit flipped as an integer, so that neither build
// branches on a sign that changes from one amplitude to the next.
VELLORAN_HD double negated_if(double v, uint32_t negate) {
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    bits ^= static_cast<uint64_t>(negate) << 63;
    memcpy(&v, &bits, sizeof v);
    return v;
}

// Block b sums the pairs [b << chunk_bits, (b + 1) << chunk_bits), each thread every blockDim.x-th
// one from its own, into Terms sums (the pass's count rounded up to a power of two, so the loops
// over the terms have a fixed length); then the block adds its threads' sums term by term in a
// shared-memory tree (a power-of-two block), and thread 0 writes term t's partial sum to
// partials[t * gridDim.x + b].
template <typename T, int Terms>
__global__ void pauli_pass_kernel(const CuComplex<T>* state, int32_t chunk_bits, PauliPass pass, double* partials) {
    double sum[Terms];
#pragma unroll
    for (int t = 0; t < Terms; ++t) sum[t] = 0.0;
    const uint64_t first = static_cast<uint64_t>(blockIdx.x) << chunk_bits;
    const uint64_t end = first + (uint64_t{1} << chunk_bits);
    for (uint64_t q = first + threadIdx.x; q < end; q += blockDim.x) {
        const uint64_t i = insert_zero_bit(q, pass.pair_bit);
        const CuComplex<T> a = velloran::load_amplitude(state + i);
        const CuComplex<T> b = pass.flip != 0 ? velloran::load_amplitude(state + (i ^ pass.flip)) : a;
        const double ar = static_cast<double>(a.re), ai = static_cast<double>(a.im);
        const double br = static_cast<double>(b.re), bi = static_cast<double>(b.im);
        const double re = br * ar + bi * ai;
        const double im = br * ai - bi * ar;
#pragma unroll
        for (int t = 0; t < Terms; ++t) {
            const double v = ((pass.imaginary >> t) & 1u) != 0 ? im : re;
            sum[t] += negated_if(v, parity(i & pass.phase[t]));
        }
    }

    double* shared = velloran::dynamic_shared<double>();
#pragma unroll
    for (int t = 0; t < Terms; ++t) {
        if (t < pass.count) {
            shared[threadIdx.x] = sum[t];
            __syncthreads();
            for (unsigned int half = blockDim.x >> 1; half > 0; half >>= 1) {
                if (threadIdx.x < half) shared[threadIdx.x] += shared[threadIdx.x + half];
                __syncthreads();
            }
            if (threadIdx.x == 0) partials[static_cast<uint64_t>(t) * gridDim.x + blockIdx.x] = shared[0];
            __syncthreads();
        }
    }
}

template <typename T, int Terms>
void launch_pass(unsigned int grid, const CuComplex<T>* state, int32_t chunk_bits, const PauliPass& pass,
                 double* partials) {
    velloran::launch_barrier_kernel<&pauli_pass_kernel<T, Terms>>(dim3(grid), dim3(kPauliBlock),
                                                                  sizeof(double) * kPauliBlock, nullptr, state,
                                                                  chunk_bits, pass, partials);
}

// The pass kernel whose term count is the smallest power of two that holds the pass's terms.
template <typename T>
void launch_pass_for_count(unsigned int grid, const CuComplex<T>* state, int32_t chunk_bits, const PauliPass& pass,
                           double* partials) {
    static_assert(kPauliTermsPerPass == 16, "one launch per power of two up to kPauliTermsPerPass");
    if (pass.count <= 1) return launch_pass<T, 1>(grid, state, chunk_bits, pass, partials);
    if (pass.count <= 2) return launch_pass<T, 2>(grid, state, chunk_bits, pass, partials);
    if (pass.count <= 4) return launch_pass<T, 4>(grid, state, chunk_bits, pass, partials);
    if (pass.count <= 8) return launch_pass<T, 8>(grid, state, chunk_bits, pass, partials);
    launch_pass<T, 16>(grid, state, chunk_bits, pass, partials);
}

// The constant each term's pass sum is multiplied by: 1 when nothing flips (the sum is the value);
// otherwise i^y times 2 for even y (the sum holds Re(w)) or times 2i for odd y (it holds Im(w)).
double term_factor(const PauliTerm& term) {
    if (term.flip == 0) return 1.0;
    switch (velloran::bit_count(term.flip & term.phase) & 3) {
        case 0: return 2.0;    // 2 Re(w)
        case 1: return -2.0;   // i * 2i Im(w)
        case 2: return -2.0;   // -1 * 2 Re(w)
        default: return 2.0;   // -i * 2i Im(w)
    }
}

void validate_terms(int64_t n, uint64_t num_state, const std::vector<PauliTerm>& terms) {
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    if (num_state != (uint64_t{1} << n)) throw std::invalid_argument("state size does not match 2**n");
    const uint64_t outside = ~((uint64_t{1} << n) - 1);
    for (const PauliTerm& term : terms) {
        if (((term.flip | term.phase) & outside) != 0) {
            throw std::invalid_argument("Pauli term acts on a qubit beyond the state's qubit count");
        }
    }
}

// The term indices of every flip mask, masks in the order they first appear.
std::vector<std::vector<size_t>> group_by_flip(const std::vector<PauliTerm>& terms) {
    std::map<uint64_t, size_t> slot;
    std::vector<std::vector<size_t>> groups;
    for (size_t t = 0; t < terms.size(); ++t) {
        const auto [it, added] = slot.emplace(terms[t].flip, groups.size());
        if (added) groups.emplace_back();
        groups[it->second].push_back(t);
    }
    return groups;
}

// One launch of the pass kernel and where its results go: the terms it sums (indices into the
// caller's list) and the offset of its count * grid partial sums in the batch buffer.
struct PlannedPass {
    PauliPass pass;
    unsigned int grid;
    int32_t chunk_bits;
    std::vector<size_t> terms;
    uint64_t offset = 0;
};

std::vector<PlannedPass> plan_passes(int64_t n, const std::vector<PauliTerm>& terms) {
    std::vector<PlannedPass> passes;
    for (const std::vector<size_t>& group : group_by_flip(terms)) {
        const uint64_t flip = terms[group.front()].flip;
        // A pass walks the 2^n amplitudes when nothing flips, else the 2^(n-1) pairs.
        const int32_t item_bits = static_cast<int32_t>(flip != 0 ? n - 1 : n);
        const int32_t grid_bits =
            item_bits > kPauliBlockBits ? std::min(kPauliMaxBlockBits, item_bits - kPauliBlockBits) : 0;
        uint64_t pair_bit = 0;
        for (uint64_t f = flip; f != 0; f &= f - 1) pair_bit = f & (~f + 1);
        for (size_t start = 0; start < group.size(); start += kPauliTermsPerPass) {
            PlannedPass planned;
            planned.grid = 1u << grid_bits;
            planned.chunk_bits = item_bits - grid_bits;
            planned.pass = PauliPass{};
            planned.pass.flip = flip;
            planned.pass.pair_bit = pair_bit;
            const size_t count = std::min<size_t>(kPauliTermsPerPass, group.size() - start);
            planned.pass.count = static_cast<int32_t>(count);
            for (size_t t = 0; t < count; ++t) {
                const PauliTerm& term = terms[group[start + t]];
                planned.pass.phase[t] = term.phase;
                if (velloran::bit_count(term.flip & term.phase) & 1) planned.pass.imaginary |= 1u << t;
                planned.terms.push_back(group[start + t]);
            }
            passes.push_back(std::move(planned));
        }
    }
    return passes;
}

// Partial sums one batch of passes may leave on the device before they are copied back together
// (2 MiB): passes are queued back to back, and the host waits once per batch.
constexpr uint64_t kPauliBatchPartials = uint64_t{kPauliTermsPerPass} * kPauliMaxBlocks * 16;

}  // namespace

template <typename T>
std::vector<double> pauli_expectations(int64_t n, const CuComplex<T>* state, uint64_t num_state,
                                       const std::vector<PauliTerm>& terms, int32_t device_id) {
    validate_terms(n, num_state, terms);
    std::vector<double> values(terms.size(), 0.0);
    if (terms.empty()) return values;

    std::vector<PlannedPass> passes = plan_passes(n, terms);
    uint64_t needed = 0;
    for (const PlannedPass& p : passes) needed += uint64_t{p.grid} * p.terms.size();
    const uint64_t capacity = std::min(needed, kPauliBatchPartials);

    velloran::check_cuda(cudaSetDevice(device_id));
    velloran::DeviceBuffer<double> partials(capacity);
    std::vector<double> host_partials(capacity);

    // Copies the batch's partial sums back and adds each term's in block order.
    size_t batch_begin = 0;
    uint64_t used = 0;
    const auto finish_batch = [&](size_t batch_end) {
        velloran::check_cuda(cudaMemcpy(host_partials.data(), partials.get(),
                                        velloran::checked_bytes(used, sizeof(double)), cudaMemcpyDeviceToHost));
        for (size_t k = batch_begin; k < batch_end; ++k) {
            const PlannedPass& p = passes[k];
            for (size_t t = 0; t < p.terms.size(); ++t) {
                const double* sums = host_partials.data() + p.offset + t * p.grid;
                double total = 0.0;
                for (unsigned int b = 0; b < p.grid; ++b) total += sums[b];
                values[p.terms[t]] = total * term_factor(terms[p.terms[t]]);
            }
        }
        batch_begin = batch_end;
        used = 0;
    };

    for (size_t k = 0; k < passes.size(); ++k) {
        PlannedPass& p = passes[k];
        const uint64_t size = uint64_t{p.grid} * p.terms.size();
        if (used + size > capacity) finish_batch(k);
        velloran::poll_interrupt();
        p.offset = used;
        launch_pass_for_count(p.grid, state, p.chunk_bits, p.pass, partials.get() + used);
        velloran::check_cuda(cudaGetLastError());
        used += size;
    }
    finish_batch(passes.size());
    partials.free_checked();
    return values;
}

template std::vector<double> pauli_expectations<float>(int64_t, const CuComplex<float>*, uint64_t,
                                                       const std::vector<PauliTerm>&, int32_t);
template std::vector<double> pauli_expectations<double>(int64_t, const CuComplex<double>*, uint64_t,
                                                        const std::vector<PauliTerm>&, int32_t);

}  // namespace ketsim
