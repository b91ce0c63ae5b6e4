"""Reading and validating density operations: every message, raised before any kernel runs."""

import numpy as np
import pytest

import rhosim
from rho_reference import DTYPES, Gate, Kraus, channel_kraus, random_density, random_unitary

DDS = rhosim.DeviceDensityState
I2 = np.eye(2, dtype=complex)
NAN = float("nan")


def kraus(target, dim=2, count=1, channel=None):
    return Kraus(target, np.array([np.eye(dim, dtype=complex)] * count), channel)


# (n, operation, message); each raises RuntimeError with exactly this text.
GATE_ERRORS = [
    (2, Gate("h", []), "density operation requires at least one target"),
    (2, Gate("h", [0], [1], [1, 0]), "controls and control_state sizes must match"),
    (2, Gate("h", [0], [1], []), "controls and control_state sizes must match"),
    (2, Gate("h", [2]), "invalid or duplicate target qubit"),
    (2, Gate("h", [-1]), "invalid or duplicate target qubit"),
    (3, Gate("swap", [1, 1]), "invalid or duplicate target qubit"),
    (2, Gate("x", [0], [0]), "invalid, duplicate, or overlapping control qubit"),
    (3, Gate("x", [0], [1, 1]), "invalid, duplicate, or overlapping control qubit"),
    (2, Gate("x", [0], [2]), "invalid, duplicate, or overlapping control qubit"),
    (2, Gate("x", [0], [-1]), "invalid, duplicate, or overlapping control qubit"),
    (2, Gate("x", [0], [1], [2]), "control_state must contain only 0 or 1"),
    (2, Gate("x", [0], [1], [-1]), "control_state must contain only 0 or 1"),
    # The control qubit checks come before its state check, control by control.
    (3, Gate("x", [0], [1, 0], [2, 1]), "control_state must contain only 0 or 1"),
    (3, Gate("x", [0], [1, 0], [1, 2]), "invalid, duplicate, or overlapping control qubit"),
    (7, Gate("h", list(range(7))), "GPU density unitary supports at most 6 targets"),
    (2, Gate("cx", [1], [0], [1], parameter=[0.5]), "density operation 'cx' requires no parameters"),
    (2, Gate("x", [1], parameter=[]), None),
    (2, Gate("swap", [0, 1], parameter=[1.0]), "density operation 'swap' requires no parameters"),
    (3, Gate("swap", [0, 1, 2], parameter=[1.0]), "invalid parameter count for density operation 'swap'"),
    (3, Gate("swap", [0, 1, 2]), "swap requires exactly two targets"),
    (2, Gate("gp", [0], [1]), "invalid parameter count for density operation 'gp'"),
    (2, Gate("gphase", [0], [1], parameter=[1, 2]), "invalid parameter count for density operation 'gphase'"),
    (2, Gate("h", [0], parameter=[1.0]), "invalid parameter count for density operation 'h'"),
    (2, Gate("ch", [0], [1], parameter=[1.0]), "invalid parameter count for density operation 'ch'"),
    (2, Gate("rx", [0]), "invalid parameter count for density operation 'rx'"),
    (2, Gate("p", [0], parameter=[1.0, 2.0]), "invalid parameter count for density operation 'p'"),
    (2, Gate("rz", [0], parameter=[]), "invalid parameter count for density operation 'rz'"),
    (2, Gate("xyarb", [0], parameter=[1.0]), "invalid parameter count for density operation 'xyarb'"),
    (2, Gate("u", [0], parameter=[1.0, 2.0]), "invalid parameter count for density operation 'u'"),
    (2, Gate("rx", [0], parameter=[NAN]), "density operation parameters must be finite"),
    (2, Gate("p", [0], parameter=[float("inf")]), "density operation parameters must be finite"),
    (2, Gate("u", [0], parameter=[0.0, 1.0, -float("inf")]), "density operation parameters must be finite"),
    (2, Gate("cp", [0], [1], parameter=[NAN]), "density operation parameters must be finite"),
    (2, Gate("h", [0, 1]), "named density operation requires one target"),
    (3, Gate("x", [0, 1]), "named density operation requires one target"),
    (3, Gate("rz", [0, 1], parameter=[1.0]), "named density operation requires one target"),
    (2, Gate("foo", [0]), "unsupported named density operation 'foo'"),
    (2, Gate("CX", [0]), "unsupported named density operation 'CX'"),
    (2, Gate("t", [0], matrix=np.array([[1, NAN], [0, 1]])), "unitary matrix must contain only finite values"),
    (2, Gate("t", [0], matrix=np.array([[1, 0], [complex(0, np.inf), 1]])),
     "unitary matrix must contain only finite values"),
    (2, Gate("u", [0, 1], matrix=I2), "unitary matrix size does not match targets"),
    (2, Gate("u", [0], matrix=np.eye(4)), "unitary matrix size does not match targets"),
    (2, Gate("u", [0], matrix=np.zeros((0, 0))), "unitary matrix size does not match targets"),
    (2, Gate("u", [0], matrix=np.zeros((2, 3))), "operation matrix must be square"),
    (2, Gate("u", [0], matrix=np.zeros(4)), "operation matrix must be square"),
]

KRAUS_ERRORS = [
    (2, kraus([]), "Kraus operation requires at least one target"),
    (2, kraus([2]), "invalid or duplicate Kraus target qubit"),
    (2, kraus([-1]), "invalid or duplicate Kraus target qubit"),
    (2, kraus([1, 1], 4), "invalid or duplicate Kraus target qubit"),
    (2, kraus([0], 4), "Kraus matrix dimension does not match targets"),
    (3, kraus([0, 1], 2), "Kraus matrix dimension does not match targets"),
    (2, kraus([0], 1), "Kraus matrix dimension does not match targets"),
    (2, Kraus([0], np.array([[[1, 0], [0, NAN]]])), "Kraus matrices must contain only finite values"),
    (2, Kraus([0], np.array([I2, [[0, np.inf], [0, 0]]]), "bit_flip"),
     "Kraus matrices must contain only finite values"),
    (4, kraus([0, 1, 2, 3], 16), "GPU density Kraus supports at most 3 targets"),
    (2, Kraus([0], np.zeros((2, 2))), "Kraus matrices must have shape (count, dimension, dimension)"),
    (2, Kraus([0], np.zeros((1, 2, 3))), "Kraus matrices must have shape (count, dimension, dimension)"),
    (2, Kraus([0], np.zeros((0, 2, 2))), "Kraus matrices must have shape (count, dimension, dimension)"),
    (2, Kraus([0], np.zeros((1, 0, 0))), "Kraus matrices must have shape (count, dimension, dimension)"),
]


class UnitaryKind:
    operation_kind = "unitary"
    target = [0]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, op, message", GATE_ERRORS + KRAUS_ERRORS + [(1, UnitaryKind(),
                         "unsupported density operation kind 'unitary'")])
def test_invalid_operation_message(n, op, message, dtype):
    rho = random_density(n, np.random.default_rng(3)).astype(dtype)
    state = DDS.from_numpy(n, rho.copy())
    if message is None:
        rhosim.run_density_operations_device(state, n, [op])
        return
    with pytest.raises(RuntimeError) as info:
        rhosim.run_density_operations_device(state, n, [op])
    assert str(info.value) == message
    np.testing.assert_array_equal(state.to_numpy(), rho)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("position", [0, 1, 2])
@pytest.mark.parametrize("fusion", ["", "1"])
def test_invalid_operation_leaves_matrix_unchanged(dtype, position, fusion, monkeypatch):
    monkeypatch.setenv("VELLORAN_DENSITY_FUSION", fusion)
    n = 6
    rng = np.random.default_rng(position)
    rho = random_density(n, rng).astype(dtype)
    good = [Gate("h", [q]) for q in range(n)] + [
        Kraus([q], channel_kraus("depolarizing", 0.1), "depolarizing") for q in range(n)]
    good += [Gate("u", [0, 3], matrix=random_unitary(4, rng)), Kraus([1, 2], np.array([np.eye(4)]))]
    ops = good[:position] + [Gate("rx", [0], parameter=[NAN])] + good[position:]
    state = DDS.from_numpy(n, rho.copy())
    with pytest.raises(RuntimeError, match="^density operation parameters must be finite$"):
        rhosim.run_density_operations_device(state, n, ops)
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_parameters_that_overflow_single_precision():
    # Finite in double but infinite once rounded to float: refused for complex64 states only.
    big = 1e300
    for op, message in [
        (Gate("rx", [0], parameter=[big]), "density operation parameters must be finite"),
        (Gate("t", [0], matrix=np.array([[big, 0], [0, 1]])), "unitary matrix must contain only finite values"),
        (Kraus([0], np.array([[[big, 0], [0, 1]]])), "Kraus matrices must contain only finite values"),
    ]:
        with pytest.raises(RuntimeError, match="^" + message + "$"):
            rhosim.run_density_operations_device(DDS.zero_state(1, "complex64"), 1, [op])
        rhosim.run_density_operations_device(DDS.zero_state(1, "complex128"), 1, [op])


def test_num_qubits_must_match():
    state = DDS.zero_state(2)
    with pytest.raises(ValueError, match="^num_qubits does not match DeviceDensityState$"):
        rhosim.run_density_operations_device(state, 3, [Gate("h", [0])])
    with pytest.raises(ValueError, match="^num_qubits does not match DeviceDensityState$"):
        rhosim.run_density_operations_device(state, -2, [Gate("h", [0])])
    # An empty list returns at once, whatever num_qubits says.
    assert rhosim.run_density_operations_device(state, 99, []) is None
    assert rhosim.run_density_operations_device(state, 99, iter(())) is None


def test_zero_qubit_state_accepts_no_operation():
    state = DDS.zero_state(0)
    with pytest.raises(RuntimeError, match="^invalid or duplicate target qubit$"):
        rhosim.run_density_operations_device(state, 0, [Gate("x", [0])])
    with pytest.raises(RuntimeError, match="^invalid or duplicate Kraus target qubit$"):
        rhosim.run_density_operations_device(state, 0, [kraus([0])])
    with pytest.raises(RuntimeError, match="^density operation requires at least one target$"):
        rhosim.run_density_operations_device(state, 0, [Gate("gp", [], parameter=[1.0])])
    np.testing.assert_array_equal(state.to_numpy(), [[1]])


class Bare:
    pass


def make(**attributes):
    obj = Bare()
    for key, value in attributes.items():
        setattr(obj, key, value)
    return obj


GATE_FIELDS = dict(id="h", target=[0], control=[], control_state=[], parameter=None, has_stored_matrix=False)


@pytest.mark.parametrize("missing", ["id", "target", "control", "control_state", "parameter", "has_stored_matrix"])
def test_missing_gate_attribute(missing):
    fields = {k: v for k, v in GATE_FIELDS.items() if k != missing}
    with pytest.raises(AttributeError):
        rhosim.run_density_operations_device(DDS.zero_state(1), 1, [make(**fields)])


def test_missing_attributes_of_other_forms():
    with pytest.raises(AttributeError):  # stored_matrix is read when has_stored_matrix is true
        rhosim.run_density_operations_device(DDS.zero_state(1), 1, [make(**{**GATE_FIELDS, "has_stored_matrix": True})])
    with pytest.raises(AttributeError):
        rhosim.run_density_operations_device(DDS.zero_state(1), 1, [make(operation_kind="kraus", target=[0])])
    with pytest.raises(AttributeError):
        rhosim.run_density_operations_device(DDS.zero_state(1), 1, [make(operation_kind="kraus",
                                                                         kraus_matrices=np.array([I2]))])


@pytest.mark.parametrize("field, value", [
    ("target", ["a"]), ("target", [0.5]), ("target", 0), ("control", None), ("control_state", [0.0]),
    ("parameter", "0.5"), ("parameter", b"1"), ("parameter", 0.5), ("parameter", ["x"]), ("id", 3),
])
def test_conversion_errors(field, value):
    fields = {**GATE_FIELDS, "id": "rx", "parameter": [0.5], field: value}
    with pytest.raises(RuntimeError):
        rhosim.run_density_operations_device(DDS.zero_state(1), 1, [make(**fields)])


@pytest.mark.parametrize("parameter", [(0.5,), [0.5], {0.5}, frozenset([0.5]), {0.5: 1}.keys(),
                                       {1: 0.5}.values(), map(float, [0.5]), (x for x in [0.5])])
def test_parameter_sequences(parameter):
    expected = DDS.zero_state(1)
    rhosim.run_density_operations_device(expected, 1, [Gate("rx", [0], parameter=[0.5])])
    state = DDS.zero_state(1)
    rhosim.run_density_operations_device(state, 1, [make(**{**GATE_FIELDS, "id": "rx", "parameter": parameter})])
    np.testing.assert_array_equal(state.to_numpy(), expected.to_numpy())


def test_unconvertible_matrix_raises_numpy_error():
    with pytest.raises((ValueError, TypeError)):
        rhosim.run_density_operations_device(DDS.zero_state(1), 1, [Gate("u", [0], matrix="not a matrix")])
    with pytest.raises((ValueError, TypeError)):
        rhosim.run_density_operations_device(DDS.zero_state(1), 1, [Kraus([0], [[["a", 0], [0, 1]]])])


def test_iteration_error_propagates():
    def operations():
        yield Gate("h", [0])
        raise KeyError("broken iterator")

    state = DDS.zero_state(1)
    with pytest.raises(KeyError, match="broken iterator"):
        rhosim.run_density_operations_device(state, 1, operations())
    np.testing.assert_array_equal(state.to_numpy(), [[1, 0], [0, 0]])
    with pytest.raises(TypeError):
        rhosim.run_density_operations_device(state, 1, 5)


def test_array_likes_are_converted():
    # Lists and integer arrays are cast to complex128.
    a = DDS.zero_state(1)
    rhosim.run_density_operations_device(a, 1, [Gate("u", [0], matrix=[[0, 1], [1, 0]]),
                                                Kraus([0], [[[1, 0], [0, 1]]])])
    np.testing.assert_array_equal(a.to_numpy(), [[0, 0], [0, 1]])


@pytest.mark.parametrize("dtype", DTYPES)
def test_accepted_edge_cases(dtype):
    rho = random_density(2, np.random.default_rng(11)).astype(dtype)
    # A global phase without controls does nothing, whatever its parameters and targets.
    for op in [Gate("gp", [0], parameter=[1.0, 2.0, 3.0]), Gate("global_phase", [0, 1]),
               Gate("gphase", [1], parameter=[NAN])]:
        state = DDS.from_numpy(2, rho.copy())
        rhosim.run_density_operations_device(state, 2, [op])
        np.testing.assert_array_equal(state.to_numpy(), rho)
    # Fixed diagonal gates ignore parameters.
    a, b = DDS.from_numpy(2, rho.copy()), DDS.from_numpy(2, rho.copy())
    rhosim.run_density_operations_device(a, 2, [Gate("s", [1], parameter=[1.0])])
    rhosim.run_density_operations_device(b, 2, [Gate("s", [1])])
    np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())


def test_unsupported_kind_message_quotes_the_kind():
    with pytest.raises(RuntimeError, match=r"^unsupported density operation kind 'unitary'$"):
        rhosim.run_density_operations_device(DDS.zero_state(1), 1, [make(operation_kind="unitary")])
    with pytest.raises(RuntimeError, match=r"^unsupported density operation kind '3'$"):
        rhosim.run_density_operations_device(DDS.zero_state(1), 1, [make(operation_kind=3)])
