"""The UNITARY gate (a caller's 2^m x 2^m matrix on m targets, with controls) on ketsim state
vectors: every kernel family (one and two targets by value, three to five in place, six or more
out of place) in every per-gate mode and precision, checked against a NumPy oracle, and the
launcher's refusals."""

import re

import numpy as np
import pytest

import ketsim
import ketsim_testing as kt
import reference

N = 8

# ---- Oracle ----


def expected_unitary(state, n, matrix, targets, controls=(), control_state=()):
    """Independent oracle: every basis index gathers the 2^m amplitudes of its target subspace
    (bit j of the matrix index is qubit targets[j]) and takes the matching matrix row; indices whose
    controls do not hold keep their amplitude. Entries are rounded to the state's precision first."""
    m = len(targets)
    mat = np.asarray(matrix, np.complex128).astype(state.dtype).astype(np.complex128)
    psi = state.astype(np.complex128)
    idx = np.arange(2**n)
    offsets = np.array([sum(1 << t for j, t in enumerate(targets) if (c >> j) & 1) for c in range(2**m)])
    target_mask = sum(1 << t for t in targets)
    row = sum(((idx >> t) & 1) << j for j, t in enumerate(targets))
    gathered = psi[(idx & ~target_mask)[:, None] | offsets[None, :]]
    out = np.einsum("ic,ic->i", mat[row], gathered)
    return np.where(in_subspace(n, controls, control_state), out, psi)


def in_subspace(n, controls, control_state):
    return reference.control_mask(n, {"control": controls, "control_state": control_state})


def unitary_gate(targets, matrix, controls=(), control_state=()):
    return kt.gate("unitary", list(targets), controls, control_state, matrix=matrix)


def run(n, state, gates, mode=ketsim.KernelMode.PairAuto):
    return ketsim.run_circuit(n, state.copy(), gates, mode=mode)


# ---- Cases: targets in several orders, controls in both states ----


def target_orders(m, n=N):
    """Ascending from qubit 0, descending from the top qubit, a scrambled set holding both, and a
    descending set of inner qubits (neither 0 nor the top one)."""
    if m == 1:
        return {"q0": [0], "top": [n - 1], "mid": [3]}
    rng = np.random.default_rng(100 + m)
    middle = rng.permutation(np.arange(1, n - 1))[: m - 2].tolist()
    orders = {
        "low": list(range(m)),
        "top_down": list(range(n - 1, n - 1 - m, -1)),
        "scrambled": rng.permutation([0, n - 1] + middle).tolist(),
    }
    if m <= n - 2:
        orders["inner_down"] = sorted(rng.permutation(np.arange(1, n - 1))[:m].tolist(), reverse=True)
    return orders


def control_patterns(targets, n=N):
    free = [q for q in range(n) if q not in targets]
    patterns = {"none": ([], []), "state0": ([free[0]], [0]), "state1": ([free[-1]], [1])}
    if len(free) >= 2:
        patterns["two"] = ([free[-1], free[0]], [1, 0])
    return patterns


CASES = [
    pytest.param(targets, controls, states, id=f"m{m}-{order}-{pattern}")
    for m in range(1, 8)
    for order, targets in target_orders(m).items()
    for pattern, (controls, states) in control_patterns(targets).items()
]


@pytest.mark.parametrize("targets,controls,states", CASES)
def test_unitary_matches_oracle(targets, controls, states, dtype, mode):
    check_against_oracle(N, targets, controls, states, dtype, mode,
                         seed=len(targets) * 131 + targets[0] * 7 + len(controls))


# Pairs with a target below qubit 3 run on blocks of eight amplitudes (two halves when the lower
# target is qubit 2 and the upper one above it): every such pair in both orders, with no control,
# one above the block, one inside it in either state (tested lane by lane, or the general kernel),
# and one inside beside one above.
LOW_PAIRS = [(a, b) for a in range(6) for b in range(6) if a != b and min(a, b) < 3]


@pytest.mark.parametrize("control", [None, "above", "inside", "inside0", "inside0_above"])
@pytest.mark.parametrize("targets", LOW_PAIRS, ids=lambda t: f"{t[0]}-{t[1]}")
def test_two_targets_with_a_low_qubit(targets, control, dtype, mode):
    free = [q for q in range(N) if q not in targets]
    controls, states = {None: ([], []), "above": ([free[-1]], [1]), "inside": ([free[0]], [1]),
                        "inside0": ([free[0]], [0]), "inside0_above": ([free[-1], free[0]], [1, 0])}[control]
    check_against_oracle(N, list(targets), controls, states, dtype, mode, seed=targets[0] * 6 + targets[1])


# A lower target on qubit 0 or 1 with the upper one up to qubit 8 runs block by block, above it
# along runs of blocks: both sides of that limit, in both orders, with no control, one above, and
# one on the other of qubits 0 and 1 (in the block) in either state.
@pytest.mark.parametrize("control", [None, "above", "inside0", "inside1"])
@pytest.mark.parametrize("targets", [(0, 8), (8, 1), (0, 9), (10, 1)], ids=lambda t: f"{t[0]}-{t[1]}")
def test_two_targets_far_apart(targets, control, dtype, mode):
    n = 12
    inside = 1 - min(targets)
    controls, states = {None: ([], []), "above": ([n - 1], [1]), "inside0": ([inside], [0]),
                        "inside1": ([inside], [1])}[control]
    check_against_oracle(n, list(targets), controls, states, dtype, mode, seed=sum(targets))


# Controls on qubits 0 to 2 under a lower target on qubit 2 or above are tested per quadruple
# rather than walked around (up to two in complex64, one in complex128): one, two and three of
# them, in both states, alone and beside a control above the targets.
LOW_CONTROL_CASES = [([0], [1]), ([2], [0]), ([1, 0], [0, 1]), ([2, 0, 1], [1, 0, 1]), ([1, 7], [1, 0])]


@pytest.mark.parametrize("targets,controls,states", [
    pytest.param(targets, controls, states, id=f"{targets[0]}-{targets[1]}-c{'-'.join(map(str, controls))}")
    for targets in [(3, 5), (6, 4), (2, 5), (6, 2)]
    for controls, states in LOW_CONTROL_CASES
    if not set(targets) & set(controls)
])
def test_two_targets_with_low_controls(targets, controls, states, dtype, mode):
    check_against_oracle(8, list(targets), controls, states, dtype, mode, seed=sum(targets) + len(controls))


def check_against_oracle(n, targets, controls, states, dtype, mode, seed):
    """A random unitary on `targets` of a random n-qubit state: the oracle's result where the
    controls hold, the input bit for bit elsewhere."""
    rng = np.random.default_rng(seed)
    state = reference.random_state(n, dtype, rng)
    matrix = reference.random_unitary(2 ** len(targets), rng)
    got = run(n, state, [unitary_gate(targets, matrix, controls, states)], mode)
    kt.assert_state_close(got, expected_unitary(state, n, matrix, targets, controls, states), dtype)
    outside = ~in_subspace(n, controls, states)
    assert np.array_equal(got[outside], state[outside])


def test_oracle_agrees_with_operator_built_entry_by_entry():
    rng = np.random.default_rng(5)
    n, targets, controls, states = 5, [3, 0, 2], [4], [0]
    state = reference.random_state(n, np.complex128, rng)
    matrix = reference.random_unitary(8, rng)
    op = reference.gate_operator(n, unitary_gate(targets, matrix, controls, states))
    np.testing.assert_allclose(expected_unitary(state, n, matrix, targets, controls, states), op @ state,
                               atol=1e-13)


@pytest.mark.parametrize("entry", kt.ENTRY_POINTS)
def test_chunk_of_unitaries_through_every_entry_point(entry, dtype, mode):
    rng = np.random.default_rng(11)
    n = 7
    state = reference.random_state(n, dtype, rng)
    chunk = [
        ([4], [1], [1]), ([0, 6], [], []), ([5, 1, 3], [0], [0]), ([2, 6, 0, 4], [], []),
        ([6, 5, 4, 3, 2], [0], [1]), ([1, 3, 5, 0, 2, 4], [6], [0]), (list(range(7)), [], []),
    ]
    gates = [unitary_gate(t, reference.random_unitary(2 ** len(t), rng), c, s) for t, c, s in chunk]
    got = kt.run_entry(entry, n, state, gates, mode)
    want = state
    for g in gates:
        want = expected_unitary(want.astype(dtype), n, g["matrix"], g["target"], g["control"], g["control_state"])
    kt.assert_state_close(got, want, dtype, depth=len(gates))


@pytest.mark.parametrize("n,targets", [(1, [0]), (2, [0, 1]), (2, [1, 0]), (3, [2, 0, 1])])
def test_smallest_states(n, targets, dtype, mode):
    # One work item: a single block whose other threads must stay out of the state.
    rng = np.random.default_rng(n)
    state = reference.random_state(n, dtype, rng)
    matrix = reference.random_unitary(2 ** len(targets), rng)
    got = run(n, state, [unitary_gate(targets, matrix)], mode)
    kt.assert_state_close(got, expected_unitary(state, n, matrix, targets), dtype)


# ---- Relations ----


def test_reversed_targets_permute_the_matrix(dtype, mode):
    rng = np.random.default_rng(3)
    state = reference.random_state(5, dtype, rng)
    m = reference.random_unitary(4, rng)
    swapped = m[[0, 2, 1, 3]][:, [0, 2, 1, 3]]
    got = run(5, state, [unitary_gate([2, 0], m)], mode)
    same = run(5, state, [unitary_gate([0, 2], swapped)], mode)
    kt.assert_state_close(got, same, dtype)
    assert not np.allclose(got, run(5, state, [unitary_gate([0, 2], m)], mode))


@pytest.mark.parametrize("name", ["x", "h"])
@pytest.mark.parametrize("target,controls,states", [(0, [], []), (3, [], []), (0, [2], [1]), (4, [0, 1], [0, 1])])
def test_one_target_unitary_equals_fixed_gate(name, target, controls, states, dtype, mode):
    state = reference.random_state(5, dtype, np.random.default_rng(target))
    matrix = reference.single_qubit_matrix(reference.GATE_IDS[name], [])
    got = run(5, state, [unitary_gate([target], matrix, controls, states)], mode)
    fixed = run(5, state, [kt.gate(name, [target], controls, states)], mode)
    if name == "x":
        # Products with exact 0 and 1 entries: the exchange is exact.
        assert np.array_equal(got, fixed)
    else:
        kt.assert_state_close(got, fixed, dtype)


@pytest.mark.parametrize("states", [[0], [1], [1, 0]])
def test_six_targets_leave_uncontrolled_amplitudes_bit_identical(states, dtype, mode):
    n = 9
    rng = np.random.default_rng(len(states))
    state = reference.random_state(n, dtype, rng)
    # NaN payloads and signed zeros outside the subspace must survive the scratch round trip.
    controls = [7, 8][: len(states)]
    outside = ~in_subspace(n, controls, states)
    state[np.flatnonzero(outside)[:3]] = np.array([np.nan, -0.0, complex(np.inf, -0.0)], dtype=dtype)
    targets = [5, 0, 3, 6, 1, 2]
    matrix = reference.random_unitary(64, rng)
    got = run(n, state, [unitary_gate(targets, matrix, controls, states)], mode)
    assert got[outside].tobytes() == state[outside].tobytes()
    want = expected_unitary(state, n, matrix, targets, controls, states)
    kt.assert_state_close(got[~outside], want[~outside], dtype)


def test_complex64_rounds_entries_before_use(mode):
    # 1 + 0.75 ulp rounds to 1 + 1 ulp in float: the products must use the rounded entry.
    u = 1 + 0.75 * 2.0**-23
    v = 1 - 0.3 * 2.0**-23
    matrix = np.diag([u, v]).astype(np.complex128)
    state = reference.random_state(6, np.complex64, np.random.default_rng(9))
    got = run(6, state, [unitary_gate([2], matrix)], mode)
    high = ((np.arange(64) >> 2) & 1) == 1
    factor = np.where(high, np.float32(v), np.float32(u)).astype(np.float32)
    want = (state.view(np.float32).reshape(-1, 2) * factor[:, None]).reshape(-1).view(np.complex64)
    assert np.array_equal(got, want)
    unrounded = (state.astype(np.complex128) * np.where(high, v, u)).astype(np.complex64)
    assert not np.array_equal(want, unrounded)


def test_complex128_keeps_entries_exact(mode):
    u = 1 + 0.75 * 2.0**-23
    state = reference.random_state(4, np.complex128, np.random.default_rng(2))
    got = run(4, state, [unitary_gate([1], np.diag([u, u]))], mode)
    assert np.array_equal(got, state * u)


# ---- Refusals ----

MESSAGES = {
    "no_target": "UNITARY gate requires at least one target.",
    "dimension": "UNITARY matrix dimension must be 2**num_targets.",
    "control_count": "controls.size() != control_state.size()",
    "control_index": "control qubit index must be in [0, 62]",
    "target_index": "target qubit index must be in [0, 62]",
}


@pytest.mark.parametrize(
    "targets,matrix_dim,controls,states,message",
    [
        # The empty target list comes first, even before broken controls.
        ([], 1, [0], [], "no_target"),
        ([], 1, [], [], "no_target"),
        # The dimension comes before the controls and the target range.
        ([0], 4, [0], [], "dimension"),
        ([63], 4, [70], [1], "dimension"),
        # Controls before the target range.
        ([63], 2, [1], [], "control_count"),
        ([-1], 2, [70], [1], "control_index"),
        ([63], 2, [1], [1], "target_index"),
        ([-1], 2, [], [], "target_index"),
        ([1, 63], 4, [], [], "target_index"),
    ],
)
def test_refusal_messages_in_order(targets, matrix_dim, controls, states, message, dtype, mode):
    state = reference.random_state(4, dtype, np.random.default_rng(0))
    g = unitary_gate(targets, np.eye(matrix_dim), controls, states)
    with pytest.raises(ValueError, match="^" + re.escape(MESSAGES[message]) + "$"):
        run(4, state, [g], mode)


@pytest.mark.parametrize(
    "targets,controls,text",
    [
        ([1, 1], [], "duplicate target qubit index 1"),
        ([0, 2, 0], [], "duplicate target qubit index 0"),
        ([2], [2], "qubit 2 is both a control and a target"),
        ([3, 0, 1, 2, 4, 5], [5], "qubit 5 is both a control and a target"),
        ([6], [], "target qubit index 6 is out of range for 6 qubits"),
        ([0, 1, 2, 40], [], "target qubit index 40 is out of range for 6 qubits"),
        ([0], [6], "control qubit index 6 is out of range for 6 qubits"),
        ([0, 1], [3, 3], "duplicate control qubit index 3"),
    ],
)
def test_bad_qubits_are_refused_before_any_kernel(targets, controls, text, dtype, mode):
    n = 6
    state = reference.random_state(n, dtype, np.random.default_rng(1))
    device_state = ketsim.DeviceState.from_numpy(n, state)
    g = unitary_gate(targets, np.eye(2 ** len(targets)), controls, [1] * len(controls))
    with pytest.raises(ValueError, match=text):
        ketsim.run_circuit_device(device_state, [g], mode=mode)
    assert device_state.to_numpy().tobytes() == state.tobytes()


def test_target_list_beyond_64_bit_dimension_is_refused():
    state = reference.random_state(2, np.complex128, np.random.default_rng(0))
    with pytest.raises(ValueError, match="UNITARY matrix dimension must be 2\\*\\*num_targets."):
        run(2, state, [unitary_gate(list(range(63)), np.eye(2))])
    with pytest.raises(ValueError, match="UNITARY matrix dimension must be 2\\*\\*num_targets."):
        run(2, state, [unitary_gate(list(range(70)), np.eye(1))])
