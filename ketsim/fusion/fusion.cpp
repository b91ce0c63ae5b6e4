// The fusion planner: scans a window of the remaining gates, following for every qubit the cone of
// accepted gates its value depends on, picks the largest cones that fit in the active-qubit limit
// as one group, lowers it, and repeats until every gate is placed. Pure CPU work.
#include <algorithm>
#include <bit>
#include <stdexcept>

#include "fusion.h"

namespace ketsim::fusion {

namespace {

// The mask of a gate's targets and controls when every one lies in [0, n) and none repeats (the
// per-gate path's qubit checks); false otherwise.
bool valid_qubit_mask(int64_t n, const GateRecord& gate, uint64_t& mask) {
    mask = 0;
    if (gate.targets.empty()) return false;
    const auto add = [&](int64_t q) {
        if (q < 0 || q >= n) return false;
        const uint64_t bit = uint64_t{1} << q;
        if (mask & bit) return false;
        mask |= bit;
        return true;
    };
    for (const int64_t q : gate.targets) {
        if (!add(q)) return false;
    }
    for (const int64_t q : gate.controls) {
        if (!add(q)) return false;
    }
    return true;
}

// The sorted, duplicate-free qubits of a gate, as given (a gate emitted alone may name qubits the
// per-gate path will refuse).
std::vector<int64_t> raw_gate_qubits(const GateRecord& gate) {
    std::vector<int64_t> qubits(gate.targets);
    qubits.insert(qubits.end(), gate.controls.begin(), gate.controls.end());
    std::sort(qubits.begin(), qubits.end());
    qubits.erase(std::unique(qubits.begin(), qubits.end()), qubits.end());
    return qubits;
}

std::vector<int64_t> qubits_of_mask(uint64_t mask) {
    std::vector<int64_t> qubits;
    qubits.reserve(static_cast<size_t>(std::popcount(mask)));
    for (; mask; mask &= mask - 1) qubits.push_back(std::countr_zero(mask));
    return qubits;
}

// Sets of accepted gates are bit sets over the gates' positions in the current window.
class Planner {
public:
    Planner(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options)
        : n_(n), gates_(gates), options_(options), count_(gates.size()) {
        fusable_.resize(count_);
        mask_.resize(count_);
        for (size_t g = 0; g < count_; ++g) {
            fusable_[g] = is_fusable(n, gates[g], options.fuse_swap);
            if (fusable_[g]) valid_qubit_mask(n, gates[g], mask_[g]);
        }
        next_.resize(count_);
        prev_.resize(count_);
        for (size_t g = 0; g < count_; ++g) {
            next_[g] = g + 1;
            prev_[g] = g == 0 ? kNone : g - 1;
        }
        head_ = 0;
        window_ = options.max_gates_per_group < 1
                      ? 0
                      : std::min<size_t>(static_cast<size_t>(options.max_gates_per_group), count_);
        words_ = std::max<size_t>(1, (window_ + 63) / 64);
        cone_mask_.assign(static_cast<size_t>(n), 0);
        cone_gates_.assign(static_cast<size_t>(n) * words_, 0);
        accepted_.reserve(window_);
        scratch_.assign(words_, 0);
        selected_.assign(words_, 0);
    }

    FusionPlan run() {
        FusionPlan plan;
        while (head_ != count_) {
            scan_window();
            FusionGroup group = select_group();
            lower_group(n_, gates_, options_, group);
            for (const uint64_t g : group.gate_indices) unlink(static_cast<size_t>(g));
            plan.groups.push_back(std::move(group));
        }
        assign_offsets(plan);
        return plan;
    }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    uint64_t* cone_gates(int64_t q) { return cone_gates_.data() + static_cast<size_t>(q) * words_; }
    size_t used_words() const { return (accepted_.size() + 63) / 64; }

    void scan_window() {
        std::fill(cone_mask_.begin(), cone_mask_.end(), 0);
        std::fill(cone_gates_.begin(), cone_gates_.end(), 0);
        accepted_.clear();
        uint64_t blocked = 0;
        size_t visited = 0;
        for (size_t g = head_; g != count_ && visited < window_; g = next_[g]) {
            ++visited;
            if (!fusable_[g]) break;
            const uint64_t qubits = mask_[g];
            if (qubits & blocked) {
                blocked |= qubits;
                continue;
            }
            // The new gate's cone: everything its qubits depend on, and the gates behind that.
            const size_t words = (accepted_.size() + 64) / 64;
            uint64_t cone = qubits;
            std::fill(scratch_.begin(), scratch_.begin() + words, 0);
            for (uint64_t m = qubits; m; m &= m - 1) {
                const int q = std::countr_zero(m);
                cone |= cone_mask_[q];
                const uint64_t* bits = cone_gates(q);
                for (size_t w = 0; w < words; ++w) scratch_[w] |= bits[w];
            }
            if (std::popcount(cone) > options_.sparsesharemem_qubits) {
                blocked |= qubits;
                continue;
            }
            const size_t position = accepted_.size();
            accepted_.push_back(g);
            scratch_[position / 64] |= uint64_t{1} << (position % 64);
            for (uint64_t m = qubits; m; m &= m - 1) {
                const int q = std::countr_zero(m);
                cone_mask_[q] = cone;
                std::copy(scratch_.begin(), scratch_.begin() + words, cone_gates(q));
            }
        }
    }

    FusionGroup select_group() {
        const size_t words = used_words();
        std::fill(selected_.begin(), selected_.end(), 0);
        uint64_t group_mask = 0;
        uint64_t chosen = 0;
        const auto add_cone = [&](int64_t q) {
            const uint64_t* bits = cone_gates(q);
            for (size_t w = 0; w < words; ++w) selected_[w] |= bits[w];
        };
        for (;;) {
            int64_t best = -1;
            size_t best_size = 0;
            for (int64_t i = 0; i < n_; ++i) {
                if (chosen & (uint64_t{1} << i)) continue;
                const uint64_t* bits = cone_gates(i);
                size_t size = 0;
                for (size_t w = 0; w < words; ++w) size += static_cast<size_t>(std::popcount(bits[w]));
                if (size < 1 || size <= best_size) continue;
                if (std::popcount(group_mask | cone_mask_[i]) > options_.sparsesharemem_qubits) continue;
                best = i;
                best_size = size;
            }
            if (best < 0) break;
            add_cone(best);
            group_mask |= cone_mask_[best];
            chosen |= uint64_t{1} << best;
            const uint64_t* winner = cone_gates(best);
            for (int64_t j = 0; j < n_; ++j) {
                if (chosen & (uint64_t{1} << j)) continue;
                if ((cone_mask_[j] | group_mask) == group_mask) {
                    add_cone(j);
                    chosen |= uint64_t{1} << j;
                } else {
                    uint64_t* bits = cone_gates(j);
                    for (size_t w = 0; w < words; ++w) bits[w] &= ~winner[w];
                }
            }
        }

        FusionGroup group;
        uint64_t active = 0;
        for (size_t w = 0; w < words; ++w) {
            for (uint64_t bits = selected_[w]; bits; bits &= bits - 1) {
                const size_t g = accepted_[w * 64 + static_cast<size_t>(std::countr_zero(bits))];
                group.gate_indices.push_back(g);
                active |= mask_[g];
            }
        }
        if (group.gate_indices.empty()) {
            group.gate_indices.push_back(head_);
            group.active_qubits = fusable_[head_] ? qubits_of_mask(mask_[head_]) : raw_gate_qubits(gates_[head_]);
        } else {
            group.active_qubits = qubits_of_mask(active);
        }
        return group;
    }

    void unlink(size_t g) {
        const size_t after = next_[g];
        const size_t before = prev_[g];
        if (before == kNone) {
            head_ = after;
        } else {
            next_[before] = after;
        }
        if (after != count_) prev_[after] = before;
    }

    static void assign_offsets(FusionPlan& plan) {
        uint64_t sparse = 0, dense = 0;
        for (FusionGroup& group : plan.groups) {
            if (group.kind == SparseShareMem) {
                group.sparse_offset = sparse;
                sparse += group.device_gates.size();
            } else if (group.kind == DenseMM) {
                group.dense_offset = dense;
                dense += group.dense_matrix.size();
            }
        }
        plan.sparse_gate_total = sparse;
        plan.dense_element_total = dense;
    }

    const int64_t n_;
    const std::vector<GateRecord>& gates_;
    const FusionOptions options_;
    const size_t count_;
    std::vector<bool> fusable_;
    std::vector<uint64_t> mask_;
    // The remaining gates as a linked list in ascending index order; count_ ends it.
    std::vector<size_t> next_, prev_;
    size_t head_ = 0;
    size_t window_ = 0;
    size_t words_ = 1;
    std::vector<uint64_t> cone_mask_;
    std::vector<uint64_t> cone_gates_;  // n rows of words_ words
    std::vector<size_t> accepted_;      // window position -> gate index
    std::vector<uint64_t> scratch_, selected_;
};

}  // namespace

bool is_fusable(int64_t n, const GateRecord& gate, bool fuse_swap) {
    if (gate.controls.size() != gate.control_state.size()) return false;
    for (const int64_t s : gate.control_state) {
        if (s != 0 && s != 1) return false;
    }
    if (gate.id == SWAP) {
        if (!fuse_swap || gate.targets.size() != 2) return false;
    } else if (!has_gate_matrix(gate)) {
        return false;
    }
    uint64_t mask = 0;
    return valid_qubit_mask(n, gate, mask);
}

void check_fusion_options(int64_t n, const FusionOptions& options) {
    const int64_t largest =
        std::min<int64_t>({options.densemm_max_qubits, options.sparsesharemem_qubits, n - 1});
    if (largest > kMaxDenseMMQubits && options.densemm_min_qubits <= largest) {
        throw std::invalid_argument(
            "densemm_max_qubits must be at most 10 while sparsesharemem_qubits allows larger groups: a DenseMM "
            "group builds a 4**k matrix on the CPU");
    }
}

FusionPlan plan_fusion(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options) {
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    check_fusion_options(n, options);
    return Planner(n, gates, options).run();
}

}  // namespace ketsim::fusion
