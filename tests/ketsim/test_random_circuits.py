"""Property tests: random circuits of every gate kind, with controls and unitaries on up to three
targets, on 1 to 8 qubits, agree with the NumPy reference in every kernel mode, both precisions
and through every entry point."""

import numpy as np
from hypothesis_optional import given, settings, st

import ketsim
import reference
from ketsim_testing import DTYPES, ENTRY_POINTS, MODES, assert_state_close, expected_state, gate, run_entry

MAX_QUBITS = 8
MAX_GATES = 12
MAX_CONTROLS = 3
ANGLES = st.floats(-7.0, 7.0, allow_nan=False, allow_infinity=False)


@st.composite
def random_gate(draw, n):
    names = [name for name in reference.ALL_NAMES if n >= 2 or reference.resolve(name, [])[0] != 10]
    name = draw(st.sampled_from(names))
    gid, _ = reference.resolve(name, [])
    if gid == 10:
        width = 2
    elif gid == 17:
        width = draw(st.integers(1, min(3, n)))
    elif gid == 15:
        width = 0
    else:
        width = 1
    qubits = draw(st.permutations(range(n)))
    targets, free = qubits[:width], qubits[width:]
    k = draw(st.integers(0, min(len(free), MAX_CONTROLS)))
    control_state = draw(st.lists(st.integers(0, 1), min_size=k, max_size=k))
    params = draw(st.lists(ANGLES, min_size=reference.PARAM_COUNTS.get(gid, 0),
                           max_size=reference.PARAM_COUNTS.get(gid, 0)))
    matrix = None
    if gid == 17:
        seed = draw(st.integers(0, 2**32 - 1))
        matrix = reference.random_unitary(2**width, np.random.default_rng(seed))
    return gate(name, targets, free[:k], control_state, params, matrix)


@st.composite
def circuits(draw):
    n = draw(st.integers(1, MAX_QUBITS))
    gates = draw(st.lists(random_gate(n), max_size=MAX_GATES))
    return n, gates


def random_input(n, dtype, seed):
    return reference.random_state(n, dtype, np.random.default_rng(seed))


@settings(max_examples=80, deadline=None)
@given(circuit=circuits(), mode=st.sampled_from(MODES), dtype=st.sampled_from(DTYPES),
       entry=st.sampled_from(ENTRY_POINTS), seed=st.integers(0, 2**32 - 1))
def test_random_circuit_matches_reference(circuit, mode, dtype, entry, seed):
    n, gates = circuit
    state = random_input(n, dtype, seed)
    actual = run_entry(entry, n, state, gates, mode)
    assert_state_close(actual, expected_state(state, n, gates), dtype, len(gates))


@settings(max_examples=40, deadline=None)
@given(circuit=circuits(), dtype=st.sampled_from(DTYPES), seed=st.integers(0, 2**32 - 1))
def test_every_mode_gives_the_same_state(circuit, dtype, seed):
    n, gates = circuit
    state = random_input(n, dtype, seed)
    results = [run_entry("run_circuit", n, state, gates, mode) for mode in MODES]
    for other in results[1:]:
        assert_state_close(other, results[0], dtype, 2 * len(gates))


@settings(max_examples=40, deadline=None)
@given(circuit=circuits(), mode=st.sampled_from(MODES), dtype=st.sampled_from(DTYPES),
       split=st.integers(0, MAX_GATES), seed=st.integers(0, 2**32 - 1))
def test_chunked_runs_on_a_device_state_compose(circuit, mode, dtype, split, seed):
    n, gates = circuit
    state = random_input(n, dtype, seed)
    device_state = ketsim.DeviceState.from_numpy(n, state)
    ketsim.run_circuit_device(device_state, gates[:split], mode=mode)
    ketsim.run_circuit_device(device_state, gates[split:], mode=mode)
    assert_state_close(device_state.to_numpy(), expected_state(state, n, gates), dtype, len(gates))
