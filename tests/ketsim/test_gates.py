"""Every gate id and alias, in every per-gate kernel mode and both precisions, with targets at the
bottom, middle and top of the register and with no / state-0 / state-1 / several controls,
against the NumPy reference; also the reference itself against hand-worked states."""

import math
import zlib

import numpy as np
import pytest

import ketsim
import reference
from ketsim_testing import (
    DTYPES,
    ENTRY_POINTS,
    GateObject,
    MODES,
    assert_state_close,
    check_against_reference,
    expected_state,
    gate,
    run_entry,
)

N = 6
POSITIONS = ("bottom", "middle", "top")
CONTROL_PATTERNS = ("none", "state0", "state1", "several")

# Targets by gate width and position of the first target; the others cover the orders that pick
# different kernels (a partner below or above, qubit 0 first or second).
TARGETS = {
    1: {"bottom": [0], "middle": [3], "top": [5]},
    2: {"bottom": [0, 4], "middle": [3, 0], "top": [5, 2]},
    3: {"bottom": [0, 4, 2], "middle": [3, 0, 5], "top": [5, 1, 3]},
}

# One case per gate id, UNITARY at one to three targets: (name, width).
GATE_KINDS = [(reference.CANONICAL_NAMES[gid], 1) for gid in range(17) if gid != 10]
GATE_KINDS += [("swap", 2), ("unitary", 1), ("unitary", 2), ("unitary", 3)]
ANGLES = (0.7, -1.3, 2.1)


def kind_id(kind):
    name, width = kind
    return f"{name}{width}" if name == "unitary" else name


def controls_for(pattern, targets):
    free = [q for q in range(N) if q not in targets]
    if pattern == "none":
        return [], []
    if pattern == "state0":
        return [free[-1]], [0]
    if pattern == "state1":
        return [free[0]], [1]
    # Unsorted, on both sides of the targets, mixed states.
    picks = [free[-1], free[0], free[len(free) // 2]]
    return picks, [1, 0, 1]


def make_gate(name, targets, control, control_state, seed, precision=np.complex128):
    gid, _ = reference.resolve(name, [])
    params = list(ANGLES[: reference.PARAM_COUNTS.get(gid, 0)])
    matrix = None
    if gid == 17:
        matrix = reference.random_unitary(2 ** len(targets), np.random.default_rng(seed)).astype(precision)
    return gate(name, targets, control, control_state, params, matrix)


def seeded_state(n, dtype, *key):
    """A random normalised state that depends only on its key (stable across runs)."""
    rng = np.random.default_rng(zlib.crc32(repr((n,) + key).encode()))
    return reference.random_state(n, dtype, rng)


@pytest.mark.parametrize("controls", CONTROL_PATTERNS)
@pytest.mark.parametrize("position", POSITIONS)
@pytest.mark.parametrize("kind", GATE_KINDS, ids=kind_id)
def test_gate_matches_reference(kind, position, controls, mode, dtype):
    name, width = kind
    targets = TARGETS[width][position]
    control, control_state = controls_for(controls, targets)
    g = make_gate(name, targets, control, control_state, seed=width)
    state = seeded_state(N, dtype, name, width, position, controls)
    check_against_reference("run_circuit", N, state, [g], mode)


# Targets 1 and 2 run on blocks of 4 and 8 amplitudes unless a control falls inside the block:
# controls below the target, above it, and on both sides (the block kernel is then not taken).
LOW_TARGET_CONTROLS = {
    "none": ([], []),
    "above": ([4], [1]),
    "below": ([0], [1]),
    "both": ([5, 0], [0, 1]),
}


# Controls on qubits 0 to 2 are tested per pair rather than walked around, up to two of them in
# complex64 and one in complex128, under targets above them and on qubits 0 to 2 alike (where
# blocks of a memory unit then hold the target's pairs); the others walk as before. One, two and
# three such controls in either state, alone and with a control between them and the target or
# above it.
LOW_CONTROLS = {
    "q0=1": ([0], [1]),
    "q1=0": ([1], [0]),
    "q2=1": ([2], [1]),
    "q0,q2=10": ([0, 2], [1, 0]),
    "q1,q0=01": ([1, 0], [0, 1]),
    "q2,q1=01": ([2, 1], [0, 1]),
    "q2,q0,q1=110": ([2, 0, 1], [1, 1, 0]),
    "q1,between=10": ([1, 4], [1, 0]),
    "above,q0=01": ([6, 0], [0, 1]),
}


NEAR_QUBIT0_CASES = [
    pytest.param(N, target, *LOW_TARGET_CONTROLS[name], id=f"t{target}-{name}")
    for target in (1, 2)
    for name in LOW_TARGET_CONTROLS
] + [
    pytest.param(7, target, *LOW_CONTROLS[name], id=f"t{target}-{name}")
    for target in (0, 1, 2, 3, 5)
    for name in LOW_CONTROLS
    if target not in LOW_CONTROLS[name][0]
] + [
    # States smaller than a memory unit of amplitudes, and one unit exactly.
    pytest.param(2, 0, [1], [1], id="n2-t0-q1=1"),
    pytest.param(2, 1, [0], [0], id="n2-t1-q0=0"),
    pytest.param(3, 2, [0], [1], id="n3-t2-q0=1"),
    pytest.param(3, 0, [2, 1], [1, 0], id="n3-t0-q2,q1=10"),
]


@pytest.mark.parametrize("n,target,control,control_state", NEAR_QUBIT0_CASES)
@pytest.mark.parametrize("kind", [k for k in GATE_KINDS if k[1] == 1], ids=kind_id)
def test_near_qubit0_matches_reference(kind, n, target, control, control_state, mode, dtype):
    name, _ = kind
    g = make_gate(name, [target], control, control_state, seed=target)
    state = seeded_state(n, dtype, name, target, tuple(control), tuple(control_state))
    check_against_reference("run_circuit", n, state, [g], mode)


@pytest.mark.parametrize("entry", ENTRY_POINTS[1:])
@pytest.mark.parametrize("kind", GATE_KINDS, ids=kind_id)
def test_gate_through_device_entry_points(kind, entry, mode, dtype):
    name, width = kind
    targets = TARGETS[width]["middle"]
    control, control_state = controls_for("several", targets)
    g = make_gate(name, targets, control, control_state, seed=7)
    state = seeded_state(N, dtype, name, width, entry)
    check_against_reference(entry, N, state, [g], mode)


@pytest.mark.parametrize("name", reference.ALL_NAMES)
def test_every_alias(name, mode, dtype):
    """Each accepted name acts as its id; parameters of gates that take none are ignored, and the
    T family's own parameters are replaced."""
    gid, _ = reference.resolve(name, [])
    width = 2 if gid == 10 else 1
    targets = TARGETS[width]["middle"]
    if name in reference.T_NAMES:
        params = [1.0, 2.0]
    elif gid in reference.PARAM_COUNTS:
        params = list(ANGLES[: reference.PARAM_COUNTS[gid]])
    else:
        params = [0.25]
    matrix = reference.random_unitary(2, np.random.default_rng(3)) if gid == 17 else None
    g = gate(name, targets, [1], [0], params, matrix)
    state = seeded_state(N, dtype, name)
    check_against_reference("run_circuit_device_gates", N, state, [g], mode)


@pytest.mark.parametrize("kind", [k for k in GATE_KINDS if k[1] <= 2], ids=kind_id)
def test_one_and_two_qubit_registers(kind, mode, dtype):
    name, width = kind
    n = width
    targets = list(range(width))[::-1]
    g = make_gate(name, targets, [], [], seed=11)
    check_against_reference("run_circuit", n, seeded_state(n, dtype, name), [g], mode)


@pytest.mark.parametrize("kind", GATE_KINDS, ids=kind_id)
def test_controls_leave_a_single_matching_item(kind, mode, dtype):
    """Every qubit but the targets is a control, so one amplitude group matches (the compact
    kernels then start a single thread)."""
    name, width = kind
    n = width + 2
    targets = list(range(width))[::-1]
    g = make_gate(name, targets, [n - 1, width], [0, 1], seed=5)
    check_against_reference("run_circuit", n, seeded_state(n, dtype, name, "single"), [g], mode)


@pytest.mark.parametrize("name", ["h", "rx", "u"])
def test_single_target_gates_ignore_extra_targets(name, mode, dtype):
    gid, _ = reference.resolve(name, [])
    params = list(ANGLES[: reference.PARAM_COUNTS.get(gid, 0)])
    state = seeded_state(4, dtype, name)
    wide = run_entry("run_circuit", 4, state, [gate(name, [1, 3, 0], parameter=params)], mode)
    narrow = run_entry("run_circuit", 4, state, [gate(name, [1], parameter=params)], mode)
    np.testing.assert_array_equal(wide, narrow)


def test_empty_control_list_with_prefixed_name_is_uncontrolled(mode, dtype):
    state = seeded_state(3, dtype, "cx")
    cx = run_entry("run_circuit", 3, state, [gate("cx", 1)], mode)
    x = run_entry("run_circuit", 3, state, [gate("x", 1)], mode)
    np.testing.assert_array_equal(cx, x)


def test_chunks_stream_on_one_device_state(mode, dtype):
    """A DeviceState keeps its amplitudes between calls; chunks in sequence compose."""
    rng = np.random.default_rng(21)
    state = reference.random_state(5, dtype, rng)
    chunks = [
        [gate("h", 0), gate("cx", 1, [0]), gate("rz", 4, [1], [0], [0.4])],
        [gate("swap", [4, 0], [2]), gate("unitary", [2, 3], matrix=reference.random_unitary(4, rng))],
        [gate("u", 3, [4, 0], [0, 1], [0.3, -0.2, 1.1]), gate("gp", [], [3], [1], [0.9]), gate("t_dag", 2)],
    ]
    device_state = ketsim.DeviceState.from_numpy(5, state)
    for chunk in chunks:
        ketsim.run_circuit_device(device_state, chunk, mode=mode)
    all_gates = [g for chunk in chunks for g in chunk]
    assert_state_close(device_state.to_numpy(), expected_state(state, 5, all_gates), dtype, len(all_gates))


# Data movement and diagonal gates: exact results, identical in every mode.

@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("g", [
    gate("x", 0), gate("x", 3, [0], [1]), gate("x", 0, [2, 4], [0, 1]),
    gate("swap", [0, 3]), gate("swap", [3, 0], [1], [0]), gate("swap", [2, 4], [0, 1], [1, 1]),
    gate("z", 2, [4], [1]),
], ids=lambda g: f"{g['id']}{g['target']}{g['control']}")
def test_permutations_and_signs_are_exact_in_every_mode(g, dtype):
    state = seeded_state(5, dtype, "exact", str(g["target"]))
    results = [run_entry("run_circuit", 5, state, [g], m) for m in MODES]
    expected = expected_state(state, 5, [g]).astype(dtype)
    for r in results:
        np.testing.assert_array_equal(r, expected)


@pytest.mark.parametrize("g, odd_values", [
    (gate("z", 1), True), (gate("s", 0, [3], [0]), True), (gate("s_dag", 4), True),
    (gate("phase", 2, [0], [1], [0.3]), False), (gate("t", 0), False),
], ids=lambda v: v["id"] if isinstance(v, dict) else "")
def test_diagonal_phase_gates_leave_zero_amplitudes_bit_identical(g, odd_values, mode, dtype):
    state = seeded_state(5, dtype, "diag")
    if odd_values:
        # Z, S and Sdag never read the |0> amplitude, so even these pass through untouched.
        state[::7] = complex(np.nan, np.inf)
    out = run_entry("run_circuit", 5, state, [g], mode)
    untouched = ((np.arange(32) >> g["target"][0]) & 1) == 0
    assert out[untouched].tobytes() == state[untouched].tobytes()


def test_hand_worked_states(mode):
    """Spot values from the gate definitions, independent of the reference."""
    def run(n, gates, basis=0):
        s = np.zeros(2**n, dtype=np.complex128)
        s[basis] = 1
        return ketsim.run_circuit(n, s, gates, mode=mode)

    np.testing.assert_allclose(run(1, [gate("rx", 0, parameter=[math.pi])]), [0, -1j], atol=1e-15)
    np.testing.assert_allclose(run(1, [gate("ry", 0, parameter=[math.pi])]), [0, 1], atol=1e-15)
    np.testing.assert_allclose(run(2, [gate("swap", [0, 1])], basis=2), [0, 1, 0, 0])
    # x with controls [1, 2] in states [1, 0] flips only where bit 1 is 1 and bit 2 is 0.
    out = [np.argmax(np.abs(run(3, [gate("x", 0, [1, 2], [1, 0])], basis=b))) for b in range(8)]
    assert out == [0, 1, 3, 2, 4, 5, 6, 7]
    # A controlled global phase only on odd indices.
    s = np.full(4, 0.5, dtype=np.complex128)
    ketsim.run_circuit(2, s, [gate("gp", [], [0], [1], [math.pi / 2])], mode=mode)
    np.testing.assert_allclose(s, [0.5, 0.5j, 0.5, 0.5j], atol=1e-15)


# The reference checked against a second construction and against worked examples.

REFERENCE_CASES = [
    gate("h", 2, [0], [0]),
    gate("u", 1, [3, 0], [1, 0], [0.3, 1.2, -0.4]),
    gate("swap", [3, 1], [2], [0]),
    gate("gp", [], [1], [1], [0.7]),
    gate("unitary", [2, 0], [3], [1], matrix=reference.random_unitary(4, np.random.default_rng(1))),
    gate("unitary", [1, 3, 0], matrix=reference.random_unitary(8, np.random.default_rng(2))),
]


@pytest.mark.parametrize("g", REFERENCE_CASES, ids=lambda g: g["id"])
def test_reference_contraction_equals_index_loop_operator(g):
    state = reference.random_state(4, np.complex128, np.random.default_rng(9))
    np.testing.assert_allclose(reference.apply_gate(state, 4, g), reference.gate_operator(4, g) @ state, atol=1e-14)


def test_reference_unitary_target_order():
    """Targets [2, 0] with M act like targets [0, 2] with rows and columns 1 and 2 exchanged."""
    m = reference.random_unitary(4, np.random.default_rng(4))
    p = [0, 2, 1, 3]
    state = reference.random_state(3, np.complex128, np.random.default_rng(5))
    a = reference.apply_gate(state, 3, gate("unitary", [2, 0], matrix=m))
    b = reference.apply_gate(state, 3, gate("unitary", [0, 2], matrix=m[np.ix_(p, p)]))
    np.testing.assert_allclose(a, b, atol=1e-14)


def test_reference_matrices_are_unitary_and_u_decomposes():
    for gid in reference.SINGLE_TARGET_IDS:
        m = reference.single_qubit_matrix(gid, list(ANGLES[: reference.PARAM_COUNTS.get(gid, 0)]))
        np.testing.assert_allclose(m @ m.conj().T, np.eye(2), atol=1e-15)
    theta, phi, lam = ANGLES
    rz = lambda a: reference.single_qubit_matrix(13, [a])
    ry = reference.single_qubit_matrix(12, [theta])
    u = reference.single_qubit_matrix(16, [theta, phi, lam])
    np.testing.assert_allclose(u, rz(phi) @ ry @ rz(lam) * np.exp(0.5j * (phi + lam)), atol=1e-15)


def test_gate_objects_accept_any_iterable(dtype):
    state = seeded_state(3, dtype, "iter")
    gates = [gate("h", 0), gate("cx", 2, [0])]
    device_state = ketsim.DeviceState.from_numpy(3, state)
    ketsim.run_circuit_device_gates(device_state, (GateObject.from_dict(g) for g in gates))
    assert_state_close(device_state.to_numpy(), expected_state(state, 3, gates), dtype, 2)
