"""Gate chunks on a DistributedState against the same chunk on one DeviceState and against the NumPy
reference: every gate kind with targets and controls on the global qubits, both precisions, every
kernel mode, gate objects and prepared chunks, and the exchange counts of circuits whose structure
fixes them."""

from types import SimpleNamespace

import numpy as np
import pytest

import ketsim
import reference
from distributed_testing import (ALL_KINDS, DTYPES, MODES, distributed_run, gate, global_qubits, random_circuit,
                                 random_state, single_run, tolerance)

N = 6


def assert_close(actual, expected, dtype):
    np.testing.assert_allclose(actual, expected, rtol=0, atol=tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
@pytest.mark.parametrize("seed", [1, 2])
def test_random_circuits_match_a_single_device(seed, mode, dtype):
    gates = random_circuit(N, 40, seed)
    initial = random_state(N, dtype, np.random.default_rng(100 + seed))
    expected = single_run(N, initial, gates, mode).to_numpy()
    state = distributed_run(initial, gates, mode)
    assert_close(state.to_numpy(), expected, dtype)
    if np.dtype(dtype) == np.complex128:
        assert_close(state.to_numpy(), reference.simulate(initial, N, gates), dtype)


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_each_gate_kind_on_global_targets_and_controls(kind):
    # Every gate of one kind, targets and controls drawn towards the top (global) qubits; several
    # chunks in a row so the qubit map moves between calls.
    initial = random_state(N, np.complex128, np.random.default_rng(7))
    single = ketsim.DeviceState.from_numpy(N, initial.copy())
    state = ketsim.DistributedState.from_numpy(initial.copy())
    for chunk in range(3):
        gates = random_circuit(N, 8, 1000 * chunk + len(kind), kinds=[kind])
        ketsim.run_circuit_device(single, gates)
        ketsim.run_circuit_device(state, gates)
    assert_close(state.to_numpy(), single.to_numpy(), np.complex128)


@pytest.mark.parametrize("control_state", [0, 1])
@pytest.mark.parametrize("name, params", [("h", []), ("rx", [0.3]), ("z", []), ("rz", [0.7]), ("p", [1.1])])
def test_control_on_every_qubit_including_global_ones(name, params, control_state):
    initial = random_state(N, np.complex128, np.random.default_rng(5))
    gates = [gate(name, [t], [c], [control_state], params) for c in range(N) for t in range(N) if t != c]
    expected = reference.simulate(initial, N, gates)
    assert_close(distributed_run(initial, gates).to_numpy(), expected, np.complex128)


def test_gate_objects_run_as_dictionaries_do():
    gates = random_circuit(N, 30, 9)
    objects = [SimpleNamespace(id=g["id"], target=g["target"], control=g["control"],
                               control_state=g["control_state"], parameter=g["parameter"],
                               matrix=g.get("matrix")) for g in gates]
    initial = random_state(N, np.complex128, np.random.default_rng(9))
    state = ketsim.DistributedState.from_numpy(initial.copy())
    ketsim.run_circuit_device_gates(state, objects)
    assert_close(state.to_numpy(), reference.simulate(initial, N, gates), np.complex128)
    ketsim.run_circuit_device_gates(state, [])  # an empty chunk changes nothing


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_prepared_chunks_match_a_single_device(dtype):
    initial = random_state(N, dtype, np.random.default_rng(21))
    single = ketsim.DeviceState.from_numpy(N, initial.copy())
    state = ketsim.DistributedState.from_numpy(initial.copy())
    for seed in (3, 4):
        gates = random_circuit(N, 40, seed)
        objects = [SimpleNamespace(id=g["id"], target=g["target"], control=g["control"],
                                   control_state=g["control_state"], parameter=g["parameter"],
                                   matrix=g.get("matrix")) for g in gates]
        chunk = ketsim.prepare_fusion_chunk_gates(N, objects)
        ketsim.execute_prepared_fusion_chunk(single, chunk)
        ketsim.execute_prepared_fusion_chunk(state, chunk)
    assert_close(state.to_numpy(), single.to_numpy(), dtype)


def test_prepared_chunk_of_another_size_is_refused():
    chunk = ketsim.prepare_fusion_chunk_gates(N + 1, [])
    state = ketsim.DistributedState.zero_state(N)
    with pytest.raises(ValueError, match="qubit count does not match prepared fusion chunk"):
        ketsim.execute_prepared_fusion_chunk(state, chunk)


@pytest.mark.parametrize("chunk_bytes", ["16", "48", "1000"])
def test_exchanges_in_small_messages_give_the_same_state(chunk_bytes, monkeypatch):
    monkeypatch.setenv("VELLORAN_MPI_CHUNK_BYTES", chunk_bytes)
    gates = random_circuit(N, 30, 17, kinds=["h", "rx", "unitary", "cswap"])
    initial = random_state(N, np.complex128, np.random.default_rng(17))
    assert_close(distributed_run(initial, gates).to_numpy(), reference.simulate(initial, N, gates), np.complex128)


def qft(n):
    gates = []
    for j in reversed(range(n)):
        gates.append(gate("h", [j]))
        for k in reversed(range(j)):
            gates.append(gate("cp", [k], [j], [1], [np.pi / 2 ** (j - k)]))
    for j in range(n // 2):
        gates.append(gate("swap", [j, n - 1 - j]))
    return gates


@pytest.mark.parametrize("n", [5, 7])
def test_qft_needs_at_most_two_exchanges_per_global_qubit(n):
    g = global_qubits()
    state = ketsim.DistributedState.zero_state(n)
    ketsim.run_circuit_device(state, [gate("h", [q]) for q in range(n - g)])  # local qubits only
    assert state.exchange_count == 0
    initial = state.to_numpy()
    ketsim.run_circuit_device(state, qft(n))
    # Every qubit takes one H: the first global one brings a local qubit out that comes back once.
    assert state.exchange_count == (g + 1 if g else 0)
    assert state.exchange_count <= 2 * g
    assert state.exchanged_bytes == state.exchange_count * 2 ** (n - g - 1) * 16
    np.testing.assert_allclose(state.to_numpy(), reference.simulate(initial, n, qft(n)), atol=1e-12)


def test_diagonal_gates_and_swaps_on_global_qubits_need_no_exchange():
    kinds = ["z", "s", "s_dag", "t", "t_dag", "rz", "p", "u_diag", "gp", "diagonal", "swap"]
    gates = random_circuit(N, 60, 31, kinds=kinds)
    initial = random_state(N, np.complex128, np.random.default_rng(31))
    state = distributed_run(initial, gates)
    assert state.exchange_count == 0
    assert_close(state.to_numpy(), reference.simulate(initial, N, gates), np.complex128)


def test_an_h_on_every_global_qubit_exchanges_once_each():
    g = global_qubits()
    state = ketsim.DistributedState.zero_state(N)
    ketsim.run_circuit_device(state, [gate("h", [q]) for q in range(N - g, N)])
    assert state.exchange_count == g
    # The qubits moved; the caller's order did not.
    assert sorted(state.qubit_map) == list(range(N))
    expected = np.zeros(2**N)
    expected[[sum(b << q for b, q in zip(bits, range(N - g, N))) for bits in np.ndindex(*(2,) * g)]] = 2 ** (-g / 2)
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12)


@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_one_local_qubit_per_rank(mode):
    # The fewest qubits the ranks allow: every exchange trades the single local qubit.
    n = global_qubits() + 1
    kinds = [k for k in ALL_KINDS if k not in ("unitary", "cswap") and (n > 1 or k != "swap")]
    gates = random_circuit(n, 40, 77, kinds=kinds, max_unitary_targets=1)
    initial = random_state(n, np.complex128, np.random.default_rng(77))
    state = distributed_run(initial, gates, mode)
    assert state.local_qubits == 1
    assert_close(state.to_numpy(), reference.simulate(initial, n, gates), np.complex128)
    assert ketsim.measure_device(state, list(range(n)), seed=4) == \
        ketsim.measure_device(single_run(n, initial, gates, mode), list(range(n)), seed=4)
