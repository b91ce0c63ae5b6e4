"""RX, RY, RZ, PHASE, U, GLOBAL_PHASE and SWAP on ketsim state vectors, checked against NumPy."""

import numpy as np
import pytest

import ketsim

N = 5
MODES = [ketsim.KernelMode.AllState, ketsim.KernelMode.Pair, ketsim.KernelMode.PairAuto]
DTYPES = [np.complex64, np.complex128]
TARGETS = [0, 2, N - 1]
# Controls as (offset from the target, required state) pairs; offsets keep them off the target.
CONTROL_PATTERNS = [(), ((1, 0),), ((1, 1),), ((1, 1), (3, 0))]
TOL = {np.complex64: dict(rtol=2e-5, atol=2e-6), np.complex128: dict(rtol=1e-12, atol=1e-13)}


def gate(name, targets, params=(), controls=(), states=()):
    return {"id": name, "target": list(targets), "control": list(controls), "control_state": list(states),
            "parameter": list(params)}


def random_state(n, dtype, seed=7):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(2**n) + 1j * rng.standard_normal(2**n)).astype(dtype)


def run(n, state, gates, mode):
    return ketsim.run_circuit(n, state.copy(), gates, mode=mode)


def controls_for(target, pattern, n=N):
    return [(target + off) % n for off, _ in pattern], [s for _, s in pattern]


def matching(n, controls, states):
    i = np.arange(2**n)
    ok = np.ones(2**n, dtype=bool)
    for c, s in zip(controls, states):
        ok &= ((i >> c) & 1) == s
    return ok


def ref_single(state, n, m, target, controls=(), states=()):
    """Applies the 2x2 matrix m to `target` by contracting that axis of the reshaped state."""
    psi = state.astype(np.complex128).reshape((2,) * n)
    axis = n - 1 - target
    out = np.moveaxis(np.tensordot(m, psi, axes=([1], [axis])), 0, axis).reshape(-1)
    return np.where(matching(n, controls, states), out, state.astype(np.complex128))


def ref_swap(state, n, t0, t1, controls=(), states=()):
    out = state.reshape((2,) * n).swapaxes(n - 1 - t0, n - 1 - t1).reshape(-1)
    return np.where(matching(n, controls, states), out, state)


def matrix_of(name, params):
    if name == "rx":
        c, s = np.cos(params[0] / 2), np.sin(params[0] / 2)
        return np.array([[c, -1j * s], [-1j * s, c]])
    if name == "ry":
        c, s = np.cos(params[0] / 2), np.sin(params[0] / 2)
        return np.array([[c, -s], [s, c]])
    if name == "rz":
        return np.diag([np.exp(-0.5j * params[0]), np.exp(0.5j * params[0])])
    if name == "phase":
        return np.diag([1, np.exp(1j * params[0])])
    theta, phi, lam = params
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -np.exp(1j * lam) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])


def as_run_angles(params, dtype):
    """The angles a kernel sees: narrowed to float for complex64 states."""
    return [float(np.float32(p)) if dtype == np.complex64 else p for p in params]


ANGLE_GATES = [("rx", [0.3]), ("ry", [-1.1]), ("rz", [2.5]), ("phase", [0.7]), ("u", [0.4, -1.3, 2.2])]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("pattern", CONTROL_PATTERNS)
@pytest.mark.parametrize("name,params", ANGLE_GATES)
def test_angle_gate_matches_reference(name, params, pattern, target, dtype, mode):
    controls, states = controls_for(target, pattern)
    state = random_state(N, dtype)
    got = run(N, state, [gate(name, [target], params, controls, states)], mode)
    want = ref_single(state, N, matrix_of(name, as_run_angles(params, dtype)), target, controls, states)
    np.testing.assert_allclose(got, want, **TOL[dtype])
    # Amplitudes outside the controlled subspace are not touched at all.
    untouched = ~matching(N, controls, states)
    assert np.array_equal(got[untouched], state[untouched])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "name,params,expected",
    [("rx", [np.pi], [0, -1j]), ("ry", [np.pi], [0, 1]), ("rz", [0.8], [np.exp(-0.4j), 0]),
     ("phase", [0.8], [1, 0]), ("u", [0.0, 0.0, 0.0], [1, 0])],
)
def test_angle_gate_on_zero_state(name, params, expected, dtype, mode):
    state = np.array([1, 0], dtype=dtype)
    got = run(1, state, [gate(name, [0], params)], mode)
    np.testing.assert_allclose(got, np.array(expected), atol=1e-6)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target", TARGETS)
def test_rz_multiplies_each_half(target, dtype, mode):
    theta = 1.9
    state = random_state(N, dtype)
    got = run(N, state, [gate("rz", [target], [theta])], mode)
    high = ((np.arange(2**N) >> target) & 1) == 1
    angle = float(np.float32(theta)) if dtype == np.complex64 else theta
    want = state * np.where(high, np.exp(0.5j * angle), np.exp(-0.5j * angle))
    np.testing.assert_allclose(got, want, **TOL[dtype])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("pattern", CONTROL_PATTERNS[:3])
def test_u_is_rz_ry_rz_times_phase(pattern, target, dtype, mode):
    theta, phi, lam = 0.9, -0.6, 1.7
    controls, states = controls_for(target, pattern)
    state = random_state(N, dtype)
    got = run(N, state, [gate("u3", [target], [theta, phi, lam], controls, states)], mode)
    composed = run(N, state, [gate("rz", [target], [lam], controls, states),
                              gate("ry", [target], [theta], controls, states),
                              gate("rz", [target], [phi], controls, states),
                              gate("gphase", [], [(phi + lam) / 2], controls, states)], mode)
    np.testing.assert_allclose(got, composed, **TOL[dtype])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("pattern", CONTROL_PATTERNS)
def test_phase_leaves_zero_amplitudes_bit_identical(pattern, target, dtype, mode):
    controls, states = controls_for(target, pattern)
    state = random_state(N, dtype)
    low = ((np.arange(2**N) >> target) & 1) == 0
    # Signed zeros and NaNs would not survive a multiplication by 1.
    lows = np.flatnonzero(low)
    state[lows[0]] = complex(-0.0, -0.0)
    state[lows[1]] = complex(np.nan, -0.0)
    got = run(N, state, [gate("phase", [target], [1.234], controls, states)], mode)
    bits = np.uint32 if dtype == np.complex64 else np.uint64
    assert np.array_equal(got[low].view(bits), state[low].view(bits))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", ["rx", "ry", "rz", "phase"])
def test_complex64_angle_is_rounded_to_float(name, mode):
    # 2**24 + 1 rounds to 2**24 in float: a whole radian away from the double value.
    theta = 2.0**24 + 1.0
    state = random_state(3, np.complex64)
    got = run(3, state, [gate(name, [1], [theta])], mode)
    rounded = ref_single(state, 3, matrix_of(name, [2.0**24]), 1)
    unrounded = ref_single(state, 3, matrix_of(name, [theta]), 1)
    np.testing.assert_allclose(got, rounded, rtol=1e-4, atol=1e-5)
    assert not np.allclose(got, unrounded, rtol=1e-2, atol=1e-2)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name,params", ANGLE_GATES)
def test_angle_gate_modes_agree(name, params, dtype):
    state = random_state(N, dtype)
    gates = [gate(name, [t], params, [c], [s]) for t, c, s in [(0, 3, 1), (3, 1, 0), (4, 0, 1)]]
    gates.append(gate(name, [2], params))
    results = [run(N, state, gates, mode) for mode in MODES]
    for other in results[1:]:
        np.testing.assert_allclose(other, results[0], **TOL[dtype])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("pattern", [(), ((0, 1),), ((0, 0),), ((0, 1), (3, 0))])
def test_global_phase(pattern, dtype, mode):
    controls, states = [c for c, _ in pattern], [s for _, s in pattern]
    phi = 0.61
    state = random_state(N, dtype)
    got = run(N, state, [gate("global_phase", [], [phi], controls, states)], mode)
    angle = float(np.float32(phi)) if dtype == np.complex64 else phi
    ok = matching(N, controls, states)
    np.testing.assert_allclose(got, np.where(ok, state * np.exp(1j * angle), state), **TOL[dtype])
    assert np.array_equal(got[~ok], state[~ok])
    # One kernel whatever the mode: results are bit-identical across modes.
    assert np.array_equal(got, run(N, state, [gate("gp", [], [phi], controls, states)], MODES[0]))


SWAP_TARGETS = [(0, 1), (1, 0), (0, 3), (4, 0), (1, 3), (4, 2), (1, 2), (4, 1), (2, 4)]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("targets", SWAP_TARGETS)
@pytest.mark.parametrize("states", [(), (0,), (1,), (1, 0)])
def test_swap_matches_reference_exactly(states, targets, dtype, mode):
    others = [q for q in range(N) if q not in targets]
    controls = others[: len(states)]
    state = random_state(N, dtype)
    got = run(N, state, [gate("swap", targets, [], controls, list(states))], mode)
    assert np.array_equal(got, ref_swap(state, N, *targets, controls, states))
    reversed_ = run(N, state, [gate("swap", targets[::-1], [], controls, list(states))], mode)
    assert np.array_equal(got.view(np.uint8), reversed_.view(np.uint8))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("targets", SWAP_TARGETS)
def test_swap_bit_identical_across_modes(targets, dtype):
    state = random_state(N, dtype)
    state[5] = complex(np.nan, -0.0)
    state[10] = complex(-0.0, np.inf)
    gates = [gate("swap", targets, []), gate("swap", targets, [], [q for q in range(N) if q not in targets][:1], [1])]
    results = [run(N, state, gates, mode).view(np.uint8) for mode in MODES]
    for other in results[1:]:
        assert np.array_equal(other, results[0])


@pytest.mark.parametrize("mode", MODES)
def test_swap_two_qubits_moves_index_two_to_one(mode):
    state = np.array([1, 2, 3, 4], dtype=np.complex128)
    got = run(2, state, [gate("swap", [0, 1], [1.0])], mode)
    assert np.array_equal(got, np.array([1, 3, 2, 4], dtype=np.complex128))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "targets,controls,states",
    [((12, 5), [0, 9], [1, 0]), ((1, 7), [9, 4], [1, 0]), ((6, 2), [3, 11], [0, 1]), ((1, 12), [2], [1])],
    ids=["high", "q1-controls-above", "q2-controls-between-and-above", "q1-control-q2"],
)
def test_controlled_swap_on_a_larger_state(targets, controls, states, dtype, mode):
    # 2^(n-2) bases exceed one 512-thread block, so the scan's grid stride is exercised; a lower
    # target on qubit 1 or 2 with controls outside its block takes blocks of amplitudes.
    n = 13
    state = random_state(n, dtype, seed=3)
    g = gate("swap", list(targets), [], controls, states)
    assert np.array_equal(run(n, state, [g], mode), ref_swap(state, n, *targets, controls, states))


def _check_rejected(n, dtype, bad_gate, message):
    state = random_state(n, dtype)
    device_state = ketsim.DeviceState.from_numpy(n, state.copy())
    for mode in MODES:
        with pytest.raises(ValueError, match=message):
            ketsim.run_circuit_device(device_state, [bad_gate], mode=mode)
    assert np.array_equal(device_state.to_numpy(), state)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "bad_gate,message",
    [
        (gate("swap", [1, 1]), "duplicate target qubit index 1"),
        (gate("swap", [0, 3]), "target qubit index 3 is out of range for 3 qubits"),
        (gate("swap", [-1, 0]), "target qubit index -1 is out of range"),
        (gate("swap", [0, 2], [], [2], [1]), "qubit 2 is both a control and a target"),
        (gate("swap", [0, 1], [], [5], [1]), "control qubit index 5 is out of range for 3 qubits"),
        (gate("swap", [0, 1], [], [2], [1, 0]), r"controls.size\(\) != control_state.size\(\)"),
        (gate("rx", [3], [0.1]), "target qubit index 3 is out of range"),
        (gate("u", [1], [0.1, 0.2, 0.3], [1], [0]), "qubit 1 is both a control and a target"),
        (gate("phase", [0], [0.1], [2, 2], [1, 1]), "duplicate control qubit index 2"),
        (gate("rz", [0], [0.1], [63], [1]), r"control qubit index must be in \[0, 62\]"),
        (gate("gp", [], [0.1], [3], [1]), "control qubit index 3 is out of range for 3 qubits"),
        (gate("gp", [], [0.1], [1, 1], [1, 0]), "duplicate control qubit index 1"),
        (gate("gp", [], [0.1], [1], [2]), "control_state must contain only 0/1"),
    ],
)
def test_invalid_qubits_rejected_before_state_changes(bad_gate, message, dtype):
    _check_rejected(3, dtype, bad_gate, message)
