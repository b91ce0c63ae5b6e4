"""Callers that misuse rhosim must get Python exceptions, never a crash: operation lists changed
while they are read, states made without their factory, and long runs stopped with Ctrl-C."""

import threading

import numpy as np
import pytest

import rhosim
from careless import Mutating, interrupted, replace_with_garbage
from rho_reference import Gate, Kraus, apply_operation, channel_kraus, random_density, run

DDS = rhosim.DeviceDensityState


class MutatingMatrices:
    """A Kraus operation whose matrices, when read, change the list the operation came in."""

    operation_kind = "kraus"

    def __init__(self, matrices, action):
        self.target = [0]
        self._matrices, self.action = matrices, action

    @property
    def kraus_matrices(self):
        self.action()
        return self._matrices


@pytest.mark.parametrize("how", ["target", "kraus_matrices"])
def test_operation_list_changed_while_read_runs_the_list_as_given(how):
    ops = []
    action = replace_with_garbage(ops)
    if how == "target":
        ops += [Gate("x", [Mutating(0, action)]) for _ in range(3)]
        expected = apply_operation(np.diag([1.0, 0]).astype(complex), 1, Gate("x", [0]))
    else:
        ops += [MutatingMatrices(channel_kraus("bit_flip", 0.25), action) for _ in range(3)]
        expected = np.diag([1.0, 0]).astype(complex)
        for _ in range(3):
            expected = apply_operation(expected, 1, Kraus([0], channel_kraus("bit_flip", 0.25)))
    np.testing.assert_allclose(run(1, ops), expected, atol=1e-12)
    assert len(ops) == 64


def test_operation_list_shared_with_a_thread_that_changes_it():
    shared = [Gate("x", [0]), Gate("x", [1])]
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            shared.extend([Gate("x", [0]), object(), Gate("h", [1])])
            del shared[2:]

    state = DDS.zero_state(2)
    worker = threading.Thread(target=churn)
    worker.start()
    try:
        for _ in range(300):
            try:
                rhosim.run_density_operations_device(state, 2, shared)
            except (AttributeError, RuntimeError, TypeError):
                pass  # a snapshot with the junk object in it is refused as a whole
    finally:
        stop.set()
        worker.join()
    rho = state.to_numpy()
    # Only whole X layers ran: the state is still a computational basis state.
    assert np.count_nonzero(np.abs(rho) > 1e-12) == 1 and abs(np.trace(rho) - 1) < 1e-12


USES = {
    "num_qubits": lambda s: s.num_qubits,
    "dimension": lambda s: s.dimension,
    "dtype": lambda s: s.dtype,
    "device_id": lambda s: s.device_id,
    "to_numpy": lambda s: s.to_numpy(),
    "copy": lambda s: s.copy(),
    "run_density_operations_device": lambda s: rhosim.run_density_operations_device(s, 1, [Gate("x", [0])]),
    "measure_device": lambda s: rhosim.measure_device(s, [0]),
}


@pytest.mark.parametrize("use", USES.values(), ids=USES.keys())
def test_blank_density_state_is_refused(use):
    blank = DDS.__new__(DDS)
    with pytest.raises(TypeError, match=r"^DeviceDensityState object is not initialised; create it with "
                                        r"DeviceDensityState\.from_numpy or DeviceDensityState\.zero_state$"):
        use(blank)


# A GPU build queues the kernels and returns within milliseconds: nothing is left to interrupt.
host_only = pytest.mark.skipif(rhosim.__backend__ != "host", reason="operation runs are asynchronous on a GPU")


@host_only
@pytest.mark.parametrize("fusion", ["0", "1"])
def test_ctrl_c_stops_a_long_operation_list_between_operations(fusion, monkeypatch):
    monkeypatch.setenv("VELLORAN_DENSITY_FUSION", fusion)
    angle, total, n = 1e-4, 20000, 8
    rho = np.zeros((2**n, 2**n), dtype=complex)
    rho[0, 0] = rho[0, 1] = rho[1, 0] = rho[1, 1] = 0.5  # |+><+| on qubit 0
    state = DDS.from_numpy(n, rho)
    # RZ on qubit 0 with a gate on every other qubit between: the coherence's phase counts the RZs.
    ops = []
    for i in range(total):
        ops += [Gate("rz", [0], parameter=[angle]), Gate("h", [1 + i % (n - 1)])]
    assert interrupted(lambda: rhosim.run_density_operations_device(state, n, ops))
    out = state.to_numpy()
    assert abs(np.trace(out) - 1) < 1e-9 and np.allclose(out, out.conj().T, atol=1e-12)
    reduced = out.reshape(2**(n - 1), 2, 2**(n - 1), 2).trace(axis1=0, axis2=2)
    applied = -np.angle(reduced[0, 1]) / angle
    assert abs(applied - round(applied)) < 1e-3 and 0 <= round(applied) < total


@host_only
def test_state_left_by_an_interrupted_run_keeps_working():
    state = DDS.from_numpy(6, random_density(6, np.random.default_rng(1)))
    ops = [Kraus([q % 6], channel_kraus("depolarizing", 0.01), "depolarizing") for q in range(60000)]
    assert interrupted(lambda: rhosim.run_density_operations_device(state, 6, ops))
    rhosim.run_density_operations_device(state, 6, [Gate("x", [0])])
    assert rhosim.measure_device(state, [0, 1], seed=1) in {"00", "01", "10", "11"}
    assert abs(np.trace(state.to_numpy()) - 1) < 1e-9
