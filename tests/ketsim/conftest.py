"""Shared parameters and helpers of the ketsim tests: kernel modes, precisions with their
tolerances, gate dictionaries and gate objects, the three ways of running a chunk, and the
comparison with the NumPy reference."""

import sys

import numpy as np
import pytest

import ketsim
import reference

# The per-gate kernel modes; PairAutoFusion belongs to the fusion tests.
MODES = (ketsim.KernelMode.AllState, ketsim.KernelMode.Pair, ketsim.KernelMode.PairAuto)
DTYPES = (np.complex64, np.complex128)

# Absolute error allowed per gate on a normalised state: a few float32 / float64 roundings.
GATE_TOLERANCE = {np.dtype(np.complex64): 3e-6, np.dtype(np.complex128): 1e-13}

ENTRY_POINTS = ("run_circuit", "run_circuit_device", "run_circuit_device_gates")


def mode_id(mode):
    return mode.name


def dtype_id(dtype):
    return np.dtype(dtype).name


@pytest.fixture(params=MODES, ids=mode_id, scope="session")
def mode(request):
    return request.param


@pytest.fixture(params=DTYPES, ids=dtype_id, scope="session")
def dtype(request):
    return request.param


def gate(name, target, control=(), control_state=None, parameter=(), matrix=None):
    """A gate_ir dictionary; controls default to state 1."""
    control = list(control)
    d = {
        "id": name,
        "target": list(target) if isinstance(target, (list, tuple)) else [target],
        "control": control,
        "control_state": [1] * len(control) if control_state is None else list(control_state),
        "parameter": list(parameter),
    }
    if matrix is not None:
        d["matrix"] = np.asarray(matrix)
    return d


class GateObject:
    """Stands in for the calling package's QuantumGate: the same fields, read as attributes."""

    def __init__(self, id, target, control, control_state, parameter, matrix=None):
        self.id = id
        self.target = target
        self.control = control
        self.control_state = control_state
        self.parameter = parameter
        self.matrix = matrix

    @classmethod
    def from_dict(cls, d):
        return cls(d["id"], d["target"], d["control"], d["control_state"], d["parameter"], d.get("matrix"))


def tolerance(dtype, depth=1):
    return GATE_TOLERANCE[np.dtype(dtype)] * (depth + 3)


def expected_state(state, n, gates):
    return reference.simulate(state, n, gates, precision=np.dtype(state.dtype).type)


def assert_state_close(actual, expected, dtype, depth=1):
    assert actual.dtype == np.dtype(dtype)
    np.testing.assert_allclose(actual, expected, rtol=0, atol=tolerance(dtype, depth))


def run_entry(entry, n, state, gates, mode=ketsim.KernelMode.PairAuto):
    """Runs `gates` on a copy of `state` through one entry point and returns the result."""
    if entry == "run_circuit":
        array = state.copy()
        out = ketsim.run_circuit(n, array, gates, mode=mode)
        assert out is array
        return out
    device_state = ketsim.DeviceState.from_numpy(n, state)
    if entry == "run_circuit_device":
        ketsim.run_circuit_device(device_state, gates, mode=mode)
    else:
        ketsim.run_circuit_device_gates(device_state, [GateObject.from_dict(g) for g in gates], mode=mode)
    return device_state.to_numpy()


def check_against_reference(entry, n, state, gates, mode, depth=None):
    actual = run_entry(entry, n, state, gates, mode)
    assert_state_close(actual, expected_state(state, n, gates), state.dtype, len(gates) if depth is None else depth)


# Test modules import these helpers under this name: every test folder's conftest.py is a module
# called "conftest", so importing that name would pick whichever folder's was loaded last.
sys.modules["ketsim_testing"] = sys.modules[__name__]
