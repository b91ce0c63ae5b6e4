// The density fusion planner: a window scan that grows per-qubit clusters of small operations, a
// greedy selection of clusters that fit the active-qubit budget, and the gate records of each fused
// group built with the double-precision builders.
#include "density_fusion.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace velloran::rhosim {

namespace {

using OpSet = std::vector<int64_t>;  // sorted operation indices

OpSet set_union(const OpSet& a, const OpSet& b) {
    OpSet out;
    out.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

OpSet set_difference(const OpSet& a, const OpSet& b) {
    OpSet out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

bool is_builtin_channel(const DensityOperation& op) {
    density::ChannelKind kind{};
    double parameter = 0.0;
    return builtin_channel(op, kind, parameter);
}

// Gate-form operations with one target (any controls) and the built-in channels can join a fused
// group; anything else ends the window.
bool eligible(const DensityOperation& op) { return op.is_kraus ? is_builtin_channel(op) : op.targets.size() == 1; }

std::vector<int64_t> qubits_of(const DensityOperation& op) {
    std::vector<int64_t> qubits = op.targets;
    if (!op.is_kraus) qubits.insert(qubits.end(), op.controls.begin(), op.controls.end());
    return qubits;
}

int32_t position_of(const std::vector<int64_t>& active, int64_t qubit) {
    const auto it = std::lower_bound(active.begin(), active.end(), qubit);
    return (it != active.end() && *it == qubit) ? static_cast<int32_t>(it - active.begin()) : -1;
}

CuComplex<double> to_record(std::complex<double> v) { return CuComplex<double>{v.real(), v.imag()}; }

void set_matrix(DeviceDensityGate<double>& g, const std::vector<std::complex<double>>& m) {
    if (m.size() != 4) throw std::runtime_error("fused unitary must be 2x2");
    g.kind = kGateUnitary;
    for (int e = 0; e < 4; ++e) g.matrix[e] = to_record(m[e]);
}

DeviceDensityGate<double> gate_record(const DensityOperation& op, const std::vector<int64_t>& active) {
    DeviceDensityGate<double> g{};
    g.diag[0] = g.diag[1] = CuComplex<double>{1.0, 0.0};
    g.target = op.targets.empty() ? -1 : position_of(active, op.targets[0]);
    if (op.is_kraus) {
        density::ChannelKind kind{};
        if (!builtin_channel(op, kind, g.parameter)) throw std::runtime_error("fused Kraus is not a built-in channel");
        g.kind = kGateChannel;
        g.channel_kind = static_cast<int32_t>(kind);
        return g;
    }
    if (op.has_matrix) {
        for (const std::complex<double>& v : op.matrix) {
            if (!std::isfinite(v.real()) || !std::isfinite(v.imag())) {
                throw std::runtime_error("unitary matrix must contain only finite values");
            }
        }
        set_matrix(g, op.matrix);
    } else {
        const std::string name = normalise_name(op.name);
        std::complex<double> d0, d1;
        switch (cheap_form<double>(op, name, d0, d1)) {
            case CheapForm::Skip:
            case CheapForm::Diagonal:
                g.kind = kGateDiagonal;
                g.diag[0] = to_record(d0);
                g.diag[1] = to_record(d1);
                break;
            case CheapForm::Flip:
                g.kind = kGateFlip;
                g.flip = int32_t{1} << g.target;
                break;
            case CheapForm::Swap:
            case CheapForm::None: set_matrix(g, named_matrix<double>(op, name)); break;
        }
    }
    for (size_t j = 0; j < op.controls.size(); ++j) {
        const int32_t position = position_of(active, op.controls[j]);
        if (position < 0) throw std::runtime_error("control qubit outside active set");
        g.control_mask |= int32_t{1} << position;
        if (op.control_state[j] == 1) g.control_value |= int32_t{1} << position;
    }
    return g;
}

// Per-qubit cluster state of one planning round.
struct Clusters {
    explicit Clusters(uint64_t n) : mask(n, 0), set(n), blocked(n, false), selected(n, false) {}
    std::vector<uint64_t> mask;
    std::vector<OpSet> set;  // the weight of a qubit is the size of its set
    std::vector<bool> blocked;
    std::vector<bool> selected;
};

void scan_window(const std::vector<DensityOperation>& ops, const std::vector<int64_t>& pending, uint64_t n,
                 const DensityFusionSettings& settings, Clusters& c) {
    int64_t visited = 0;
    for (const int64_t index : pending) {
        if (visited++ == settings.window) break;
        const DensityOperation& op = ops[index];
        if (!eligible(op)) break;
        const std::vector<int64_t> qubits = qubits_of(op);
        auto block_all = [&] {
            for (const int64_t q : qubits) {
                if (q >= 0 && static_cast<uint64_t>(q) < n) c.blocked[q] = true;
            }
        };
        const bool usable = std::all_of(qubits.begin(), qubits.end(), [&](int64_t q) {
            return q >= 0 && static_cast<uint64_t>(q) < n && !c.blocked[q];
        });
        if (!usable) {
            block_all();
            continue;
        }
        uint64_t merged = 0;
        for (const int64_t q : qubits) merged |= c.mask[q] | (uint64_t{1} << q);
        if (std::popcount(merged) > settings.max_active) {
            block_all();
            continue;
        }
        OpSet joined{index};
        for (const int64_t q : qubits) joined = set_union(joined, c.set[q]);
        for (const int64_t q : qubits) {
            c.mask[q] = merged;
            c.set[q] = joined;
        }
    }
}

OpSet select_group(uint64_t n, const DensityFusionSettings& settings, Clusters& c) {
    uint64_t active = 0;
    OpSet group;
    for (;;) {
        int64_t best = -1;
        for (uint64_t q = 0; q < n; ++q) {
            if (c.selected[q] || c.set[q].empty() || std::popcount(active | c.mask[q]) > settings.max_active) continue;
            if (best < 0 || c.set[q].size() > c.set[best].size()) best = static_cast<int64_t>(q);
        }
        if (best < 0) return group;
        const OpSet chosen = c.set[best];
        group = set_union(group, chosen);
        active |= c.mask[best];
        c.selected[best] = true;
        for (uint64_t g = 0; g < n; ++g) {
            if (c.selected[g]) continue;
            if ((c.mask[g] & ~active) == 0) {
                group = set_union(group, c.set[g]);
                c.selected[g] = true;
            } else {
                c.set[g] = set_difference(c.set[g], chosen);
            }
        }
    }
}

}  // namespace

DeviceDensityGate<float> to_float_record(const DeviceDensityGate<double>& g) {
    auto narrow = [](CuComplex<double> v) { return CuComplex<float>{static_cast<float>(v.re), static_cast<float>(v.im)}; };
    DeviceDensityGate<float> f{};
    f.kind = g.kind;
    f.target = g.target;
    f.control_mask = g.control_mask;
    f.control_value = g.control_value;
    for (int e = 0; e < 4; ++e) f.matrix[e] = narrow(g.matrix[e]);
    f.diag[0] = narrow(g.diag[0]);
    f.diag[1] = narrow(g.diag[1]);
    f.flip = g.flip;
    f.channel_kind = g.channel_kind;
    f.parameter = static_cast<float>(g.parameter);
    return f;
}

int64_t max_active_qubits(uint64_t n) {
    if (n <= 4) return 0;
    return n <= 8 ? static_cast<int64_t>(n) - 4 : 5;
}

std::vector<DensityGroup> plan_density_fusion(const std::vector<DensityOperation>& ops, uint64_t n,
                                              const DensityFusionSettings& settings) {
    std::vector<DensityGroup> groups;
    std::vector<int64_t> pending(ops.size());
    for (size_t i = 0; i < ops.size(); ++i) pending[i] = static_cast<int64_t>(i);
    while (!pending.empty()) {
        Clusters clusters(n);
        scan_window(ops, pending, n, settings, clusters);
        DensityGroup group;
        group.operations = select_group(n, settings, clusters);
        if (group.operations.empty()) group.operations.push_back(pending.front());
        for (const int64_t index : group.operations) {
            for (const int64_t q : qubits_of(ops[index])) group.active.push_back(q);
        }
        std::sort(group.active.begin(), group.active.end());
        group.active.erase(std::unique(group.active.begin(), group.active.end()), group.active.end());
        const auto count = static_cast<int64_t>(group.operations.size());
        if (count == 1) {
            group.kind = kGroupSingle;
        } else if (group.active.size() == 1) {
            group.kind = kGroupOneQubit;
        } else if (count < settings.min_fused_ops) {
            group.kind = kGroupFew;
        } else {
            group.kind = kGroupFused;
            for (const int64_t index : group.operations) group.gates.push_back(gate_record(ops[index], group.active));
        }
        pending.erase(std::remove_if(pending.begin(), pending.end(),
                                     [&](int64_t i) {
                                         return std::binary_search(group.operations.begin(), group.operations.end(), i);
                                     }),
                      pending.end());
        groups.push_back(std::move(group));
    }
    return groups;
}

}  // namespace velloran::rhosim
