"""Pauli expectation values of a DistributedState against one DeviceState and a NumPy reference:
Z factors on global qubits (the rank's sign), X and Y factors there (brought local first), both
precisions, and the refusals with the DeviceState messages."""

import numpy as np
import pytest

import ketsim
from distributed_testing import DTYPES, global_qubits, random_circuit, random_state, tolerance

N = 6
PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1, -1])}


def numpy_expectation(state, string):
    op = np.array([[1]])
    for c in reversed(string):  # character j acts on qubit j, bit j of the index
        op = np.kron(op, PAULI[c])
    return float(np.real(np.vdot(state, op @ state)))


def random_strings(count, seed, letters="IXYZ"):
    """Strings that flip (X, Y) at most as many qubits as each rank holds locally."""
    rng = np.random.default_rng(seed)
    local = N - global_qubits()
    strings = []
    while len(strings) < count:
        s = "".join(rng.choice(list(letters), size=N))
        if sum(c in "XY" for c in s) <= local:
            strings.append(s)
    return strings


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("letters", ["IZ", "IXYZ", "IXY"])
def test_expectations_match_one_device_and_numpy(dtype, letters):
    initial = random_state(N, dtype, np.random.default_rng(4))
    gates = random_circuit(N, 20, 4)
    single = ketsim.DeviceState.from_numpy(N, initial.copy())
    state = ketsim.DistributedState.from_numpy(initial.copy())
    ketsim.run_circuit_device(single, gates)
    ketsim.run_circuit_device(state, gates)
    strings = random_strings(24, len(letters), letters) + ["I" * N, "Z" * N, "X" * (N - global_qubits()) +
                                                           "Z" * global_qubits()]
    before = state.to_numpy()
    values = ketsim.pauli_expectations(state, strings)
    assert values.dtype == np.float64 and values.shape == (len(strings),)
    np.testing.assert_allclose(values, ketsim.pauli_expectations(single, strings), atol=10 * tolerance(dtype))
    reference = [numpy_expectation(before.astype(np.complex128), s) for s in strings]
    np.testing.assert_allclose(values, reference, atol=10 * tolerance(dtype))
    # Exchanges may move qubits; the state the caller sees stays the same.
    np.testing.assert_allclose(state.to_numpy(), before, atol=0)


def test_no_strings_gives_an_empty_array():
    assert ketsim.pauli_expectations(ketsim.DistributedState.zero_state(N), []).shape == (0,)


@pytest.mark.parametrize("paulis", [["XYZ"], ["IIIIIA"], "XXXXXX", [3]])
def test_bad_strings_are_refused_as_on_one_device(paulis):
    with pytest.raises((ValueError, TypeError)) as expected:
        ketsim.pauli_expectations(ketsim.DeviceState.zero_state(N), paulis)
    with pytest.raises(expected.type) as raised:
        ketsim.pauli_expectations(ketsim.DistributedState.zero_state(N), paulis)
    assert str(raised.value) == str(expected.value)


def test_string_flipping_more_than_the_local_qubits_is_refused():
    if global_qubits() == 0:
        pytest.skip("one rank holds every qubit locally")
    state = ketsim.DistributedState.zero_state(N)
    with pytest.raises(ValueError, match="local qubits"):
        ketsim.pauli_expectations(state, ["ZZZZZZ", "X" * N])
    assert state.exchange_count == 0
