// Reference simulator and gate helpers of the fusion tests (see fusion_test_util.h).
#include "fusion_test_util.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

namespace fusion_test {

using ketsim::GateRecord;

GateRecord gate(uint32_t id, std::vector<int64_t> targets, std::vector<int64_t> controls, std::vector<double> params,
                std::vector<int64_t> control_state) {
    GateRecord g;
    g.id = id;
    g.targets = std::move(targets);
    if (control_state.empty()) control_state.assign(controls.size(), 1);
    g.controls = std::move(controls);
    g.control_state = std::move(control_state);
    g.params = std::move(params);
    return g;
}

State random_state(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal;
    State psi(size_t{1} << n);
    double norm = 0;
    for (Complex& a : psi) {
        a = Complex(normal(rng), normal(rng));
        norm += std::norm(a);
    }
    for (Complex& a : psi) a /= std::sqrt(norm);
    return psi;
}

namespace {

const Complex I(0.0, 1.0);

// Written from the textbook definitions: exp(-i theta P / 2) rotations, the phase gate, U3.
std::vector<Complex> textbook_matrix(const GateRecord& g) {
    const double r = 1 / std::sqrt(2.0);
    switch (g.id) {
        case ketsim::X: return {0, 1, 1, 0};
        case ketsim::Y: return {0, -I, I, 0};
        case ketsim::Z: return {1, 0, 0, -1};
        case ketsim::H: return {r, r, r, -r};
        case ketsim::S: return {1, 0, 0, I};
        case ketsim::SDAG: return {1, 0, 0, -I};
        case ketsim::SQRTX: return {(1.0 + I) / 2.0, (1.0 - I) / 2.0, (1.0 - I) / 2.0, (1.0 + I) / 2.0};
        case ketsim::SQRTXDAG: return {(1.0 - I) / 2.0, (1.0 + I) / 2.0, (1.0 + I) / 2.0, (1.0 - I) / 2.0};
        case ketsim::SQRTY: return {(1.0 + I) / 2.0, -(1.0 + I) / 2.0, (1.0 + I) / 2.0, (1.0 + I) / 2.0};
        case ketsim::SQRTYDAG: return {(1.0 - I) / 2.0, (1.0 - I) / 2.0, (-1.0 + I) / 2.0, (1.0 - I) / 2.0};
        case ketsim::RX: {
            const double t = g.params.at(0);
            return {std::cos(t / 2), -I * std::sin(t / 2), -I * std::sin(t / 2), std::cos(t / 2)};
        }
        case ketsim::RY: {
            const double t = g.params.at(0);
            return {std::cos(t / 2), -std::sin(t / 2), std::sin(t / 2), std::cos(t / 2)};
        }
        case ketsim::RZ: return {std::exp(-I * g.params.at(0) / 2.0), 0, 0, std::exp(I * g.params.at(0) / 2.0)};
        case ketsim::PHASE: return {1, 0, 0, std::exp(I * g.params.at(0))};
        case ketsim::U: {
            const double t = g.params.at(0), p = g.params.at(1), l = g.params.at(2);
            return {std::cos(t / 2), -std::exp(I * l) * std::sin(t / 2), std::exp(I * p) * std::sin(t / 2),
                    std::exp(I * (p + l)) * std::cos(t / 2)};
        }
        case ketsim::UNITARY: return g.matrix;
    }
    throw std::invalid_argument("reference has no 2x2 matrix for this gate");
}

bool controls_hold(const GateRecord& g, uint64_t i) {
    for (size_t c = 0; c < g.controls.size(); ++c) {
        if (((i >> g.controls[c]) & 1) != static_cast<uint64_t>(g.control_state[c])) return false;
    }
    return true;
}

}  // namespace

void reference_apply(State& psi, int n, const GateRecord& g) {
    const uint64_t dim = uint64_t{1} << n;
    if (g.id == ketsim::SWAP) {
        const uint64_t a = uint64_t{1} << g.targets.at(0), b = uint64_t{1} << g.targets.at(1);
        for (uint64_t i = 0; i < dim; ++i) {
            if ((i & a) && !(i & b) && controls_hold(g, i)) std::swap(psi[i], psi[(i & ~a) | b]);
        }
        return;
    }
    const std::vector<Complex> m = textbook_matrix(g);
    const uint64_t t = uint64_t{1} << g.targets.at(0);
    for (uint64_t i = 0; i < dim; ++i) {
        if ((i & t) || !controls_hold(g, i)) continue;
        const Complex a = psi[i], b = psi[i | t];
        psi[i] = m[0] * a + m[1] * b;
        psi[i | t] = m[2] * a + m[3] * b;
    }
}

State reference_run(State psi, int n, const std::vector<GateRecord>& gates) {
    for (const GateRecord& g : gates) reference_apply(psi, n, g);
    return psi;
}

std::vector<Complex> reference_operator(const std::vector<GateRecord>& gates, const std::vector<int64_t>& active) {
    const int k = static_cast<int>(active.size());
    const auto local = [&](int64_t q) {
        return static_cast<int64_t>(std::find(active.begin(), active.end(), q) - active.begin());
    };
    std::vector<GateRecord> mapped;
    for (GateRecord g : gates) {
        for (int64_t& q : g.targets) q = local(q);
        for (int64_t& q : g.controls) q = local(q);
        mapped.push_back(g);
    }
    const uint64_t dim = uint64_t{1} << k;
    std::vector<Complex> op(dim * dim);
    for (uint64_t col = 0; col < dim; ++col) {
        State basis(dim);
        basis[col] = 1;
        const State out = reference_run(basis, k, mapped);
        for (uint64_t row = 0; row < dim; ++row) op[row * dim + col] = out[row];
    }
    return op;
}

double max_distance(const State& a, const State& b) {
    if (a.size() != b.size()) return INFINITY;
    double d = 0;
    for (size_t i = 0; i < a.size(); ++i) d = std::max(d, std::abs(a[i] - b[i]));
    return d;
}

}  // namespace fusion_test
