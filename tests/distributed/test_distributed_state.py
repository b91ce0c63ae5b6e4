"""DistributedState construction, properties, the slices each rank holds, to_numpy and the checks
of bad input, against NumPy arrays."""

import numpy as np
import pytest

import ketsim
from distributed_testing import DTYPES, comm, global_qubits, random_state, ranks


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("n", [3, 5])
def test_zero_state_properties_and_contents(n, dtype):
    n = max(n, global_qubits() + 1)
    name = np.dtype(dtype).name
    state = ketsim.DistributedState.zero_state(n, dtype=name)
    g = global_qubits()
    assert (state.n, state.dtype, state.num_ranks, state.rank) == (n, name, ranks(), comm().Get_rank())
    assert (state.local_qubits, state.global_qubits) == (n - g, g)
    assert state.qubit_map == list(range(n))
    assert state.exchange_count == 0
    full = state.to_numpy()
    expected = np.zeros(2**n, dtype=dtype)
    expected[0] = 1
    assert full.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(full, expected)


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_from_numpy_round_trip_and_rank_slices(dtype):
    n = 5
    initial = random_state(n, dtype, np.random.default_rng(11))
    state = ketsim.DistributedState.from_numpy(initial)
    np.testing.assert_array_equal(state.to_numpy(), initial)
    # Each rank's slice is the block of amplitudes whose top bits spell its rank: measuring the top
    # qubits on a basis state built from that block names the rank that holds it.
    block = 2 ** state.local_qubits
    assert block * ranks() == 2**n
    basis = np.zeros(2**n, dtype=dtype)
    basis[(ranks() - 1) * block] = 1
    top = list(range(n - global_qubits(), n))
    if top:
        outcome = ketsim.measure_device(ketsim.DistributedState.from_numpy(basis), top, seed=1)
        assert outcome == format(ranks() - 1, f"0{len(top)}b")[::-1]


def test_default_communicator_is_comm_world_and_explicit_one_works():
    from mpi4py import MPI
    a = ketsim.DistributedState.zero_state(4)
    b = ketsim.DistributedState.zero_state(4, comm=MPI.COMM_WORLD.Dup())
    assert a.num_ranks == b.num_ranks == MPI.COMM_WORLD.Get_size()
    np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((0,), {}, ValueError, r"n must be in \[1, 62\]"),
    ((63,), {}, ValueError, r"n must be in \[1, 62\]"),
    ((3,), {"dtype": "float64"}, ValueError, "dtype"),
    ((3,), {"comm": "world"}, TypeError, "intracommunicator"),
])
def test_zero_state_refuses_bad_arguments(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        ketsim.DistributedState.zero_state(*args, **kwargs)


def test_dtype_message_matches_device_state():
    with pytest.raises(ValueError) as single:
        ketsim.DeviceState.zero_state(3, dtype="float64")
    with pytest.raises(ValueError) as distributed:
        ketsim.DistributedState.zero_state(3, dtype="float64")
    assert str(single.value) == str(distributed.value)


def test_too_few_qubits_for_the_ranks_is_refused():
    g = global_qubits()
    if g == 0:
        pytest.skip("one rank holds any number of qubits")
    with pytest.raises(ValueError, match="ranks need at least"):
        ketsim.DistributedState.zero_state(g)
    ketsim.DistributedState.zero_state(g + 1)  # one local qubit is enough


@pytest.mark.parametrize("array, message", [
    (np.zeros((2, 4), dtype=np.complex128), "1-D"),
    (np.zeros(6, dtype=np.complex128), r"2\*\*n"),
    (np.zeros(1, dtype=np.complex128), r"2\*\*n"),
    (np.zeros(16, dtype=np.float64), "dtype"),
    (np.zeros(32, dtype=np.complex128)[::2], "C-contiguous"),
])
def test_from_numpy_refuses_bad_arrays(array, message):
    with pytest.raises(ValueError, match=message):
        ketsim.DistributedState.from_numpy(array)


def test_uninitialised_state_is_refused_everywhere():
    blank = ketsim.DistributedState.__new__(ketsim.DistributedState)
    with pytest.raises(TypeError, match="not initialised"):
        blank.to_numpy()
    with pytest.raises(TypeError, match="not initialised"):
        ketsim.run_circuit_device(blank, [])
    with pytest.raises(TypeError, match="not initialised"):
        ketsim.measure_device(blank, [0])


def test_device_state_entry_points_still_take_device_states():
    state = ketsim.DeviceState.zero_state(2)
    ketsim.run_circuit_device(state, [{"id": "x", "target": [0], "control": [], "control_state": [],
                                       "parameter": []}])
    assert ketsim.measure_device(state, [0], seed=3) == "1"
    with pytest.raises(TypeError, match="incompatible function arguments"):
        ketsim.run_circuit_device(object(), [])


def test_object_posing_as_a_distributed_state_is_not_one():
    class Impostor:
        __class__ = ketsim.DistributedState  # fools isinstance(), not the argument check

    assert isinstance(Impostor(), ketsim.DistributedState)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        ketsim.run_circuit_device(Impostor(), [])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        ketsim.sample_measure_device(Impostor(), [0], 10)
