"""Refusals on a DistributedState: a bad gate is refused on every rank with the single device's
message before anything runs, a failure on one rank raises on all of them without a hang, and the
state stays usable."""

import numpy as np
import pytest

import ketsim
import reference
from distributed_testing import comm, gate, global_qubits, random_circuit, random_state, ranks

N = 6

BAD_GATES = [
    gate("x", [N]),
    gate("h", [0], [N + 2]),
    gate("rx", [1], [1], params=[0.1]),
    gate("rz", [N - 1]),
    gate("u", [N - 1], params=[0.1, 0.2]),
    gate("swap", [N - 1]),
    gate("swap", [N - 1, N - 1]),
    gate("cx", [N - 1], [0], [2]),
    gate("cx", [N - 1], [0, 1], [1]),
    gate("unitary", [N - 1, N - 2], matrix=np.eye(2)),
    gate("unitary", [N - 1, N - 1], matrix=np.eye(4)),
    gate("gp", [], [N], params=[0.3]),
    gate("nonsense", [0]),
]


@pytest.mark.parametrize("bad", BAD_GATES, ids=lambda g: f"{g['id']}{g['target']}{g['control']}")
def test_refused_gate_has_the_single_device_message_and_runs_nothing(bad):
    gates = [gate("h", [N - 1]), gate("x", [0]), bad]
    single = ketsim.DeviceState.zero_state(N)
    with pytest.raises(ValueError) as expected:
        ketsim.run_circuit_device(single, gates)
    state = ketsim.DistributedState.zero_state(N)
    with pytest.raises(ValueError) as raised:
        ketsim.run_circuit_device(state, gates)
    assert str(raised.value) == str(expected.value)
    assert state.exchange_count == 0
    zero = np.zeros(2**N)
    zero[0] = 1
    np.testing.assert_array_equal(state.to_numpy(), zero)


def test_bad_endian_and_mode_are_refused():
    state = ketsim.DistributedState.zero_state(N)
    with pytest.raises(ValueError, match="endian must be 'little' or 'big'"):
        ketsim.run_circuit_device(state, [], endian="middle")
    with pytest.raises(TypeError):
        ketsim.run_circuit_device(state, [], mode=7)


def test_gate_wider_than_the_local_qubits_is_refused_unless_diagonal():
    g = global_qubits()
    if g == 0:
        pytest.skip("one rank holds every qubit locally")
    local = N - g
    rng = np.random.default_rng(3)
    state = ketsim.DistributedState.zero_state(N)
    wide = gate("unitary", list(range(local + 1)), matrix=reference.random_unitary(2 ** (local + 1), rng))
    with pytest.raises(ValueError, match="local qubits"):
        ketsim.run_circuit_device(state, [wide])
    initial = random_state(N, np.complex128, rng)
    state = ketsim.DistributedState.from_numpy(initial.copy())
    diagonal = gate("unitary", list(range(N - local - 1, N)),
                    matrix=np.diag(np.exp(1j * rng.uniform(-3, 3, 2 ** (local + 1)))))
    ketsim.run_circuit_device(state, [diagonal])
    np.testing.assert_allclose(state.to_numpy(), reference.simulate(initial, N, [diagonal]), atol=1e-12)


def test_failure_on_one_rank_raises_on_every_rank():
    if ranks() == 1:
        pytest.skip("needs two ranks or more")
    initial = random_state(N, np.complex128, np.random.default_rng(8))
    state = ketsim.DistributedState.from_numpy(initial.copy())
    good = random_circuit(N, 10, 8)
    mine = [gate("x", [N + 5])] if comm().Get_rank() == 0 else good
    with pytest.raises((ValueError, RuntimeError)) as raised:
        ketsim.run_circuit_device(state, mine)
    if comm().Get_rank() == 0:
        assert raised.type is ValueError
    else:
        assert raised.type is RuntimeError and "another rank" in str(raised.value)
    # Nothing ran anywhere, and the state still works.
    np.testing.assert_array_equal(state.to_numpy(), initial)
    ketsim.run_circuit_device(state, good)
    np.testing.assert_allclose(state.to_numpy(), reference.simulate(initial, N, good), atol=1e-12)


def test_measurement_refused_on_one_rank_raises_on_every_rank():
    if ranks() == 1:
        pytest.skip("needs two ranks or more")
    state = ketsim.DistributedState.zero_state(N)
    targets = [N] if comm().Get_rank() == ranks() - 1 else [0]
    with pytest.raises((ValueError, RuntimeError)):
        ketsim.measure_device(state, targets, seed=1)
    assert ketsim.measure_device(state, [0, N - 1], seed=1) == "00"
