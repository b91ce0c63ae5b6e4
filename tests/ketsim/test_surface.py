"""The ketsim module surface and its messages: names, defaults and docstrings; DeviceState and the
NumPy array checks with their order; gate-list parsing; the dispatcher's operand checks; control
lists; our own qubit checks; and sizes that cannot be allocated."""

import re

import numpy as np
import pytest

import ketsim
import reference
from ketsim_testing import (
    DTYPES,
    ENTRY_POINTS,
    MODES,
    GateObject,
    check_against_reference,
    dtype_id,
    gate,
    mode_id,
    run_entry,
)

DTYPE_MESSAGE = "dtype must be 'complex64' or 'complex128', got: "
DEVICE_MESSAGE = "device must be 'cuda', 'gpu', or 'cuda:<id>', got: "
ENDIAN_MESSAGE = "endian must be 'little' or 'big'"
N_MESSAGE = "n must be in [1, 62]"
WRITABLE_MESSAGE = "state array must be writable"
NDIM_MESSAGE = "state must be a 1-D contiguous numpy array"
CONTIGUOUS_MESSAGE = "state must be C-contiguous"
SIZE_MESSAGE = "state.size must equal 2**n"
CONTROL_SIZE_MESSAGE = "controls.size() != control_state.size()"
CONTROL_INDEX_MESSAGE = "control qubit index must be in [0, 62]"
CONTROL_STATE_MESSAGE = "control_state must contain only 0/1"
OOM_MESSAGE = "CUDA error: out of memory"
INVALID_DEVICE_MESSAGE = "CUDA error: invalid device ordinal"
CAST_PREFIX = "Unable to cast Python instance of type "

PAIR_AUTO = "<KernelMode.PairAuto: 2>"


def raises_exactly(exc, message):
    """pytest.raises that also demands the exact message text."""
    return pytest.raises(exc, match="^" + re.escape(message) + "$")


def basis_state(n, dtype=np.complex128, index=0):
    s = np.zeros(2**n, dtype=dtype)
    s[index] = 1
    return s


def read_only(a):
    a.flags.writeable = False
    return a


def signature(fn):
    """[(name, default text or None)] from the first docstring line the binding library writes."""
    first = fn.__doc__.splitlines()[0]
    inner = first[first.index("(") + 1: first.rindex(") ->")]
    args = []
    for part in inner.split(", "):
        name = part.split(":")[0]
        default = part.split(" = ", 1)[1] if " = " in part else None
        args.append((name, default))
    return args


# --- module, enum, functions -------------------------------------------------------------------

def test_module_doc_and_backend():
    assert ketsim.__doc__ == "CUDA gate backend for velloran"
    assert ketsim.__backend__ in ("host", "cuda")


@pytest.mark.parametrize("name, value", [("AllState", 0), ("Pair", 1), ("PairAuto", 2), ("PairAutoFusion", 3)])
def test_kernel_mode_members_are_exported(name, value):
    member = getattr(ketsim.KernelMode, name)
    assert int(member) == value
    assert getattr(ketsim, name) is member
    assert ketsim.KernelMode(value) is member


def test_kernel_mode_has_exactly_four_members():
    assert [m.name for m in ketsim.KernelMode] == ["AllState", "Pair", "PairAuto", "PairAutoFusion"]


FUNCTIONS = {
    "run_circuit_device": (
        [("state", None), ("gate_ir", None), ("endian", "'little'"), ("mode", PAIR_AUTO)],
        "Run a gate_ir chunk on an existing CUDA DeviceState."),
    "run_circuit_device_gates": (
        [("state", None), ("gates", None), ("endian", "'little'"), ("mode", PAIR_AUTO)],
        "Run a QuantumGate object chunk on an existing CUDA DeviceState."),
    "measure_device": (
        [("state", None), ("targets", None), ("endian", "'little'"), ("seed", "None")],
        "Measure target qubits on an existing CUDA DeviceState."),
    "sample_measure_device": (
        [("state", None), ("targets", None), ("shots", None), ("endian", "'little'"), ("seed", "None"),
         ("collapse_last", "True")],
        "Batch-sample target qubits and optionally collapse to the final outcome."),
    "run_circuit": (
        [("n", None), ("state", None), ("gate_ir", None), ("endian", "'little'"), ("device", "'cuda:0'"),
         ("mode", PAIR_AUTO), ("use_pinned_host", "False")],
        "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned."),
    "measure": (
        [("n", None), ("state", None), ("targets", None), ("endian", "'little'"), ("device", "'cuda:0'"),
         ("use_pinned_host", "False")],
        "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is "
        "returned."),
    "pauli_expectations": (
        [("state", None), ("paulis", None)],
        "Exact expectation values of Pauli strings on a DeviceState, computed without copying the state out.\n"
        "Character j of each string (one of I, X, Y, Z) acts on qubit j, bit j of the amplitude index."),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_arguments_defaults_and_docstring(name):
    args, doc = FUNCTIONS[name]
    fn = getattr(ketsim, name)
    assert signature(fn) == args
    assert fn.__doc__.strip().endswith("\n\n" + doc)


# Registration order of every module function; the fusion pair sits between the two device runners.
REGISTRATION_ORDER = ["run_circuit_device", "prepare_fusion_chunk_gates", "execute_prepared_fusion_chunk",
                      "run_circuit_device_gates", "measure_device", "sample_measure_device", "run_circuit", "measure",
                      "pauli_expectations"]


def test_functions_are_registered_in_order():
    names = [k for k in vars(ketsim) if k in REGISTRATION_ORDER]
    assert set(FUNCTIONS) <= set(names)
    assert names == [k for k in REGISTRATION_ORDER if k in names]


@pytest.mark.parametrize("name, args", [
    ("from_numpy", [("n", None), ("state", None), ("device", "'cuda:0'"), ("use_pinned_host", "False")]),
    ("zero_state", [("n", None), ("dtype", "'complex128'"), ("device", "'cuda:0'")]),
    ("to_numpy", [("self", None), ("use_pinned_host", "False")]),
    ("copy_to_numpy", [("self", None), ("state", None), ("use_pinned_host", "False")]),
])
def test_device_state_method_signatures(name, args):
    assert signature(getattr(ketsim.DeviceState, name)) == args


def test_every_argument_can_be_passed_by_keyword():
    a = basis_state(1)
    out = ketsim.run_circuit(n=1, state=a, gate_ir=[gate("x", 0)], endian="big", device="cuda",
                             mode=ketsim.Pair, use_pinned_host=True)
    assert out is a
    np.testing.assert_array_equal(a, [0, 1])
    s = ketsim.DeviceState.zero_state(n=1, dtype="complex64", device="gpu")
    ketsim.run_circuit_device(state=s, gate_ir=[gate("x", 0)], endian="little", mode=ketsim.AllState)
    ketsim.run_circuit_device_gates(state=s, gates=[GateObject.from_dict(gate("x", 0))], endian="big",
                                    mode=ketsim.PairAuto)
    np.testing.assert_array_equal(s.to_numpy(use_pinned_host=True), [1, 0])


# --- DeviceState --------------------------------------------------------------------------------

def test_device_state_has_no_constructor():
    with pytest.raises(TypeError):
        ketsim.DeviceState()


@pytest.mark.parametrize("prop", ["n", "num_state", "device_id", "dtype"])
def test_device_state_properties_are_read_only(prop):
    s = ketsim.DeviceState.zero_state(2)
    with pytest.raises(AttributeError):
        setattr(s, prop, 1)


@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
def test_zero_state(dtype):
    name = np.dtype(dtype).name
    s = ketsim.DeviceState.zero_state(3) if dtype is np.complex128 else ketsim.DeviceState.zero_state(3, name)
    out = s.to_numpy()
    assert out.dtype == dtype and out.shape == (8,)
    np.testing.assert_array_equal(out, basis_state(3, dtype))
    assert (s.n, s.num_state, s.device_id, s.dtype) == (3, 8, 0, name)


def test_from_numpy_properties_and_round_trip():
    a = np.arange(8, dtype=np.complex64) * (1 - 2j)
    s = ketsim.DeviceState.from_numpy(3, a, "cuda:0")
    assert (s.n, s.num_state, s.device_id, s.dtype) == (3, 8, 0, "complex64")
    a[:] = 0  # the device holds its own copy
    np.testing.assert_array_equal(s.to_numpy(), np.arange(8) * (1 - 2j))


@pytest.mark.parametrize("pinned", [False, True])
@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
def test_copies_in_both_directions(dtype, pinned):
    a = (np.arange(16) + 1j * np.arange(16)[::-1]).astype(dtype)
    s = ketsim.DeviceState.from_numpy(4, read_only(a.copy()), use_pinned_host=pinned)
    first, second = s.to_numpy(pinned), s.to_numpy(pinned)
    assert first is not second and first.flags.owndata and first.flags.writeable
    np.testing.assert_array_equal(first, a)
    target = np.zeros(16, dtype=dtype)
    assert s.copy_to_numpy(target, use_pinned_host=pinned) is None
    np.testing.assert_array_equal(target, a)


@pytest.mark.parametrize("n", [0, 63, -1, 100])
def test_zero_state_n_range(n):
    with raises_exactly(ValueError, N_MESSAGE):
        ketsim.DeviceState.zero_state(n)


@pytest.mark.parametrize("text", ["float64", "complex", "Complex64", "complex128 ", ""])
def test_zero_state_dtype_text(text):
    with raises_exactly(ValueError, DTYPE_MESSAGE + text):
        ketsim.DeviceState.zero_state(2, text)


def test_zero_state_reports_the_device_before_the_dtype():
    with raises_exactly(ValueError, DEVICE_MESSAGE + "gpu:0"):
        ketsim.DeviceState.zero_state(2, "float64", "gpu:0")


# Device texts, through every function that takes one.
DEVICE_TAKERS = {
    "zero_state": lambda device: ketsim.DeviceState.zero_state(1, device=device),
    "from_numpy": lambda device: ketsim.DeviceState.from_numpy(1, basis_state(1), device=device),
    "run_circuit": lambda device: ketsim.run_circuit(1, basis_state(1), [], device=device),
}


@pytest.mark.parametrize("taker", DEVICE_TAKERS)
@pytest.mark.parametrize("text", ["cuda", "gpu", "cuda:0", "cuda:0abc", "cuda: 0", "cuda:+0", "cuda:00"])
def test_device_texts_selecting_device_zero(text, taker):
    DEVICE_TAKERS[taker](text)


@pytest.mark.parametrize("taker", DEVICE_TAKERS)
@pytest.mark.parametrize("text, exc, message", [
    ("gpu:0", ValueError, DEVICE_MESSAGE + "gpu:0"),
    ("CUDA", ValueError, DEVICE_MESSAGE + "CUDA"),
    (" cuda:0", ValueError, DEVICE_MESSAGE + " cuda:0"),
    ("", ValueError, DEVICE_MESSAGE),
    ("cuda:", ValueError, "stoi"),
    ("cuda:x", ValueError, "stoi"),
    ("cuda:-", ValueError, "stoi"),
    ("cuda:99999999999", IndexError, "stoi"),
    ("cuda:-99999999999", IndexError, "stoi"),
    # Parsed, then refused by the runtime: this backend (and a one-GPU machine) has device 0 only.
    ("cuda:1", RuntimeError, INVALID_DEVICE_MESSAGE),
    ("cuda:1abc", RuntimeError, INVALID_DEVICE_MESSAGE),
    ("cuda:-1", RuntimeError, INVALID_DEVICE_MESSAGE),
])
def test_device_text_errors(text, exc, message, taker):
    with raises_exactly(exc, message):
        DEVICE_TAKERS[taker](text)


def wrong_arrays():
    """(id, n, array, message) for arrays that fail one NumPy state check."""
    big_endian = np.zeros(4, dtype=">c16")
    return [
        ("2x2", 2, np.zeros((2, 2), dtype=np.complex128), NDIM_MESSAGE),
        ("0-d", 1, np.array(1 + 0j), NDIM_MESSAGE),
        ("strided", 2, np.zeros(8, dtype=np.complex128)[::2], CONTIGUOUS_MESSAGE),
        ("reversed", 2, np.zeros(4, dtype=np.complex128)[::-1], CONTIGUOUS_MESSAGE),
        ("n=0", 0, np.zeros(1, dtype=np.complex128), N_MESSAGE),
        ("n=63", 63, np.zeros(4, dtype=np.complex128), N_MESSAGE),
        ("size", 2, np.zeros(8, dtype=np.complex128), SIZE_MESSAGE),
        ("float64", 2, np.zeros(4), DTYPE_MESSAGE + "float64"),
        ("float32", 2, np.zeros(4, dtype=np.float32), DTYPE_MESSAGE + "float32"),
        ("int64", 2, np.zeros(4, dtype=np.int64), DTYPE_MESSAGE + "int64"),
        ("clongdouble", 2, np.zeros(4, dtype=np.clongdouble), DTYPE_MESSAGE + str(np.dtype(np.clongdouble))),
        ("non-native", 2, big_endian, DTYPE_MESSAGE + str(big_endian.dtype)),
    ]


ARRAY_TAKERS = {
    "from_numpy": lambda n, a: ketsim.DeviceState.from_numpy(n, a),
    "run_circuit": lambda n, a: ketsim.run_circuit(n, a, []),
    "copy_to_numpy": lambda n, a: ketsim.DeviceState.zero_state(n).copy_to_numpy(a),
}


@pytest.mark.parametrize("taker", ARRAY_TAKERS)
@pytest.mark.parametrize("case", wrong_arrays(), ids=lambda c: c[0])
def test_state_array_checks(case, taker):
    _, n, array, message = case
    if taker == "copy_to_numpy" and message == N_MESSAGE:
        pytest.skip("copy_to_numpy takes n from the DeviceState")
    before = array.copy()
    with raises_exactly(ValueError, message):
        ARRAY_TAKERS[taker](n, array)
    np.testing.assert_array_equal(array, before)


@pytest.mark.parametrize("taker, n", [("run_circuit", 0), ("copy_to_numpy", 2)])
def test_read_only_array_refused_before_any_other_check(taker, n):
    bad_everything = read_only(np.zeros((2, 3)))
    with raises_exactly(ValueError, WRITABLE_MESSAGE):
        ARRAY_TAKERS[taker](n, bad_everything)


@pytest.mark.parametrize("taker", ["from_numpy", "run_circuit", "copy_to_numpy"])
def test_lists_are_not_converted_to_arrays(taker):
    with pytest.raises(TypeError):
        ARRAY_TAKERS[taker](1, [1 + 0j, 0j])


def test_from_numpy_accepts_a_read_only_array():
    s = ketsim.DeviceState.from_numpy(1, read_only(basis_state(1)))
    np.testing.assert_array_equal(s.to_numpy(), [1, 0])


def test_from_numpy_reports_the_dtype_before_the_device():
    with raises_exactly(ValueError, DTYPE_MESSAGE + "float64"):
        ketsim.DeviceState.from_numpy(2, np.zeros(4), device="tpu")


def test_copy_to_numpy_dtype_must_match_the_state():
    s = ketsim.DeviceState.zero_state(2, "complex128")
    target = np.full(4, 7, dtype=np.complex64)
    with raises_exactly(ValueError, "numpy state dtype does not match DeviceState"):
        s.copy_to_numpy(target)
    np.testing.assert_array_equal(target, 7)


# --- run_circuit: check order, identity, untouched array on failure ------------------------------

# (id, n, array, endian, device, expected message): each array fails several checks at once and
# the first in run_circuit's order must be the one reported.
RUN_CIRCUIT_ORDER = [
    ("writable-first", 0, lambda: read_only(np.zeros((2, 2))), "middle", "tpu", WRITABLE_MESSAGE),
    ("ndim-before-n", 0, lambda: np.zeros((2, 2), dtype=np.complex128), "middle", "tpu", NDIM_MESSAGE),
    ("contiguous-before-n", 0, lambda: np.zeros(8, dtype=np.complex128)[::2], "middle", "tpu", CONTIGUOUS_MESSAGE),
    ("n-before-size", 63, lambda: np.zeros(3, dtype=np.complex128), "middle", "tpu", N_MESSAGE),
    ("size-before-endian", 2, lambda: np.zeros(8), "middle", "tpu", SIZE_MESSAGE),
    ("endian-after-array", 2, lambda: np.zeros(4, dtype=np.complex128), "middle", "tpu", ENDIAN_MESSAGE),
    ("endian-before-dtype", 2, lambda: np.zeros(4), "middle", "tpu", ENDIAN_MESSAGE),
    ("device-before-dtype", 2, lambda: np.zeros(4), "big", "tpu", DEVICE_MESSAGE + "tpu"),
    ("dtype-last", 2, lambda: np.zeros(4), "big", "cuda", DTYPE_MESSAGE + "float64"),
]


@pytest.mark.parametrize("case", RUN_CIRCUIT_ORDER, ids=lambda c: c[0])
def test_run_circuit_check_order(case):
    _, n, make, endian, device, message = case
    with raises_exactly(ValueError, message):
        ketsim.run_circuit(n, make(), [gate("x", 0)], endian=endian, device=device)


@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
def test_run_circuit_returns_the_same_array(dtype):
    a = np.array([0.6, 0.8j], dtype=dtype)
    out = ketsim.run_circuit(1, a, [])
    assert out is a
    np.testing.assert_array_equal(a, np.array([0.6, 0.8j], dtype=dtype))


def test_run_circuit_refuses_a_tuple_gate_list():
    a = basis_state(1)
    with pytest.raises(TypeError):
        ketsim.run_circuit(1, a, (gate("x", 0),))
    np.testing.assert_array_equal(a, [1, 0])


@pytest.mark.parametrize("gates", [
    [gate("x", 0), gate("T", 0)],
    [gate("x", 0), gate("rx", 0)],
    [gate("x", 0), gate("x", 1, [0], [1, 0])],
    [gate("x", 0), gate("x", 7)],
], ids=["parse", "dispatch", "controls", "target"])
def test_run_circuit_failure_leaves_the_array_unchanged(gates):
    a = basis_state(2)
    with pytest.raises(ValueError):
        ketsim.run_circuit(2, a, gates)
    np.testing.assert_array_equal(a, basis_state(2))


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
def test_endian_has_no_effect_on_gates(mode):
    gates = [gate("h", 0), gate("cx", 2, [0])]
    little = ketsim.run_circuit(3, basis_state(3), gates, endian="little", mode=mode)
    big = ketsim.run_circuit(3, basis_state(3), gates, endian="big", mode=mode)
    np.testing.assert_array_equal(little, big)


@pytest.mark.parametrize("entry", ["run_circuit_device", "run_circuit_device_gates"])
@pytest.mark.parametrize("gates", [[], [gate("x", 0)]], ids=["empty", "one"])
def test_device_entries_check_endian(entry, gates):
    s = ketsim.DeviceState.zero_state(1)
    chunk = gates if entry == "run_circuit_device" else [GateObject.from_dict(g) for g in gates]
    with raises_exactly(ValueError, ENDIAN_MESSAGE):
        getattr(ketsim, entry)(s, chunk, endian="Little")
    np.testing.assert_array_equal(s.to_numpy(), [1, 0])


def test_empty_chunks_run():
    s = ketsim.DeviceState.zero_state(2)
    ketsim.run_circuit_device(s, [])
    ketsim.run_circuit_device_gates(s, [])
    ketsim.run_circuit_device_gates(s, iter(()))
    np.testing.assert_array_equal(s.to_numpy(), basis_state(2))


def test_run_circuit_device_refuses_a_tuple():
    with pytest.raises(TypeError):
        ketsim.run_circuit_device(ketsim.DeviceState.zero_state(1), (gate("x", 0),))


FUSION_BUILT = hasattr(ketsim, "prepare_fusion_chunk_gates")


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_pair_auto_fusion_mode(entry):
    """Until the fusion executor is part of the module this mode is refused before any gate runs;
    once it is, it gives the per-gate result."""
    gates = [gate("h", 0), gate("cx", 1, [0]), gate("rz", 2, [1], [0], [0.4]), gate("swap", [2, 0])]
    state = reference.random_state(3, np.complex128, np.random.default_rng(2))
    if FUSION_BUILT:
        check_against_reference(entry, 3, state, gates, ketsim.PairAutoFusion)
        return
    with pytest.raises(ValueError):
        run_entry(entry, 3, state, gates, ketsim.PairAutoFusion)


# --- sizes that cannot be allocated --------------------------------------------------------------

@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
@pytest.mark.parametrize("n", [40, 59, 60, 61, 62])
def test_unallocatable_states_fail_as_out_of_memory(n, dtype):
    """2^n amplitudes beyond the machine, including the sizes whose byte count wraps 64 bits
    (complex128 from n = 60, complex64 from n = 61), fail before anything is written."""
    with raises_exactly(RuntimeError, OOM_MESSAGE):
        ketsim.DeviceState.zero_state(n, dtype)
    # The module keeps working afterwards.
    np.testing.assert_array_equal(ketsim.DeviceState.zero_state(1, dtype).to_numpy(), [1, 0])


# --- gate-list parsing ----------------------------------------------------------------------------

def run_dict_form(gates, n=2):
    s = ketsim.DeviceState.zero_state(n)
    ketsim.run_circuit_device(s, gates)
    return s


def run_object_form(gates, n=2):
    s = ketsim.DeviceState.zero_state(n)
    ketsim.run_circuit_device_gates(s, gates)
    return s


FORMS = {
    "dict": lambda g: run_dict_form([g]),
    "object": lambda g: run_object_form([GateObject.from_dict(g)]),
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("name", ["T", "X", "cnot", "", "x ", "tdg", "u4"])
def test_unknown_gate_names(name, form):
    with raises_exactly(ValueError, "Unsupported CUDA gate id: " + name):
        FORMS[form](gate(name, 0))


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("targets, matrix, message", [
    ([0], None, "UNITARY gate requires a matrix."),
    ([0, 1], np.eye(2), "UNITARY matrix dimension must be 2**num_targets."),
    ([0], np.eye(4), "UNITARY matrix dimension must be 2**num_targets."),
    ([0], np.zeros((2, 3)), "unitary matrix must be a non-empty square 2-D array."),
    ([0], np.zeros(2), "unitary matrix must be a non-empty square 2-D array."),
    ([0], np.zeros((2, 2, 2)), "unitary matrix must be a non-empty square 2-D array."),
    ([0], np.zeros((0, 0)), "unitary matrix must be a non-empty square 2-D array."),
    ([0], 5.0, "unitary matrix must be a non-empty square 2-D array."),
    ([0], "abc", "unitary matrix must be array-like."),
    ([0], [[1, "a"], [0, 1]], "unitary matrix must be array-like."),
    ([0], object(), "unitary matrix must be array-like."),
], ids=["none", "2x2-for-2", "4x4-for-1", "2x3", "1-D", "3-D", "empty", "scalar", "text", "mixed", "object"])
def test_unitary_matrix_errors(targets, matrix, message, form):
    g = gate("unitary", targets)
    g["matrix"] = matrix
    with raises_exactly(ValueError, message):
        FORMS[form](g)


def test_unitary_without_matrix_key():
    with raises_exactly(ValueError, "UNITARY gate requires a matrix."):
        run_dict_form([gate("unitary", [0])])


def test_unitary_object_without_matrix_attribute():
    class NoMatrix:
        id, target, control, control_state, parameter = "unitary", [0], [], [], []

    with pytest.raises(AttributeError):
        run_object_form([NoMatrix()])


def test_dict_form_converts_a_matrix_on_any_gate_but_the_object_form_ignores_it():
    g = gate("x", 0)
    g["matrix"] = "abc"
    with raises_exactly(ValueError, "unitary matrix must be array-like."):
        run_dict_form([g])
    s = run_object_form([GateObject.from_dict(g)])
    np.testing.assert_array_equal(s.to_numpy(), basis_state(2, index=1))


@pytest.mark.parametrize("key", ["id", "target", "control", "control_state", "parameter"])
def test_missing_dict_key_raises_key_error(key):
    g = gate("x", 0)
    del g[key]
    with pytest.raises(KeyError) as info:
        run_dict_form([g])
    assert info.value.args == (key,)


@pytest.mark.parametrize("attribute", ["id", "target", "control", "control_state", "parameter"])
def test_missing_attribute_raises_attribute_error(attribute):
    obj = GateObject.from_dict(gate("x", 0))
    delattr(obj, attribute)
    with pytest.raises(AttributeError):
        run_object_form([obj])


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("key, value", [
    ("id", 3), ("target", [0.5]), ("target", 0), ("control", ["a"]), ("control_state", [1.0]),
    ("parameter", ["a"]), ("parameter", 0.5), ("target", "0"),
])
def test_values_that_do_not_convert(key, value, form):
    g = gate("x", 0)
    g[key] = value
    with pytest.raises(RuntimeError, match="^" + re.escape(CAST_PREFIX)):
        FORMS[form](g)


def test_parameter_none_is_refused_in_dict_form_and_empty_in_object_form():
    g = gate("x", 0)
    g["parameter"] = None
    with pytest.raises(RuntimeError, match="^" + re.escape(CAST_PREFIX)):
        run_dict_form([g])
    s = run_object_form([GateObject.from_dict(g)])
    np.testing.assert_array_equal(s.to_numpy(), basis_state(2, index=1))
    g = gate("rx", 0)
    g["parameter"] = None
    with raises_exactly(ValueError, "RX gate requires exactly one parameter."):
        run_object_form([GateObject.from_dict(g)])


def test_dict_form_accepts_mappings_and_key_value_pairs():
    g = gate("x", 0)
    s = run_dict_form([list(g.items())])
    np.testing.assert_array_equal(s.to_numpy(), basis_state(2, index=1))
    with pytest.raises(TypeError):
        run_dict_form([5])


def test_object_form_needs_an_iterable():
    with pytest.raises(TypeError):
        run_object_form(5)


def test_index_lists_accept_any_sequence():
    s = run_dict_form([gate("x", 0), {"id": "x", "target": (1,), "control": np.array([0]), "control_state": {1},
                                      "parameter": ()}])
    np.testing.assert_array_equal(s.to_numpy(), basis_state(2, index=3))


@pytest.mark.parametrize("form", FORMS)
def test_parse_error_runs_no_gate_of_the_chunk(form):
    gates = [gate("x", 0), gate("h", 1), gate("T", 0)]
    s = ketsim.DeviceState.zero_state(2)
    with pytest.raises(ValueError):
        if form == "dict":
            ketsim.run_circuit_device(s, gates)
        else:
            ketsim.run_circuit_device_gates(s, [GateObject.from_dict(g) for g in gates])
    np.testing.assert_array_equal(s.to_numpy(), basis_state(2))


# --- dispatcher operand checks --------------------------------------------------------------------

@pytest.mark.parametrize("mode", MODES, ids=mode_id)
@pytest.mark.parametrize("g, message", [
    (gate("swap", [0]), "SWAP gate requires exactly two parameters."),
    (gate("swap", [0, 1, 2]), "SWAP gate requires exactly two parameters."),
    (gate("swap", []), "SWAP gate requires exactly two parameters."),
    (gate("rx", 0), "RX gate requires exactly one parameter."),
    (gate("crx", 0, [1], [1], [0.1, 0.2]), "RX gate requires exactly one parameter."),
    (gate("ry", 0), "RY gate requires exactly one parameter."),
    (gate("rz", 0, parameter=[1, 2]), "RZ gate requires exactly one parameter."),
    (gate("phase", 0, parameter=[0.1, 0.2]), "PHASE gate requires exactly one parameter."),
    (gate("p", 0), "PHASE gate requires exactly one parameter."),
    (gate("gp", [], parameter=[]), "GLOBAL_PHASE gate requires exactly one parameter."),
    (gate("global_phase", [0], parameter=[1, 2]), "GLOBAL_PHASE gate requires exactly one parameter."),
    (gate("u1", 0, parameter=[0.3]), "U gate requires exactly three parameters."),
    (gate("u2", 0, parameter=[0.3, 0.1]), "U gate requires exactly three parameters."),
    (gate("u", 0, parameter=[0.3, 0.1, 0.2, 0.4]), "U gate requires exactly three parameters."),
], ids=lambda v: f"{v['id']}{len(v['target'])}t{len(v['parameter'])}p" if isinstance(v, dict) else "")
def test_operand_count_messages(g, message, mode):
    a = basis_state(3, index=5)
    s = ketsim.DeviceState.from_numpy(3, a)
    with raises_exactly(ValueError, message):
        ketsim.run_circuit_device(s, [gate("x", 1), g, gate("x", 2)], mode=mode)
    # The gate before the failing one stays applied, the one after it never runs.
    np.testing.assert_array_equal(s.to_numpy(), basis_state(3, index=7))


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
def test_t_gates_never_fail_the_parameter_count(mode):
    s = ketsim.DeviceState.zero_state(1)
    ketsim.run_circuit_device(s, [gate("t", 0, parameter=[1, 2, 3]), gate("t_dag", 0, parameter=[])], mode=mode)
    np.testing.assert_array_equal(s.to_numpy(), [1, 0])


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
def test_failing_gate_keeps_the_earlier_ones(mode):
    """[X q0, RX without a parameter, X q1]: the first X is applied, the second is not."""
    s = ketsim.DeviceState.zero_state(2)
    with raises_exactly(ValueError, "RX gate requires exactly one parameter."):
        ketsim.run_circuit_device(s, [gate("x", 0), gate("rx", 0), gate("x", 1)], mode=mode)
    np.testing.assert_array_equal(s.to_numpy(), basis_state(2, index=1))


# --- control lists and our own qubit checks, for every gate family --------------------------------

N = 4
FAMILIES = {
    "x": gate("x", 1), "y": gate("y", 1), "z": gate("z", 1), "h": gate("h", 1), "s": gate("s", 1),
    "s_dag": gate("s_dag", 1), "sx": gate("sx", 1), "sxdg": gate("sxdg", 1), "sqrty": gate("sqrty", 1),
    "sqrty_dag": gate("sqrty_dag", 1), "swap": gate("swap", [1, 2]), "rx": gate("rx", 1, parameter=[0.3]),
    "ry": gate("ry", 1, parameter=[0.3]), "rz": gate("rz", 1, parameter=[0.3]),
    "phase": gate("phase", 1, parameter=[0.3]), "gp": gate("gp", [], parameter=[0.3]),
    "u": gate("u", 1, parameter=[0.3, 0.2, 0.1]),
    "unitary1": gate("unitary", [1], matrix=np.eye(2)),
    "unitary2": gate("unitary", [1, 2], matrix=np.eye(4)),
    "unitary3": gate("unitary", [1, 2, 0], matrix=np.eye(8)),
    "unitary6": gate("unitary", [1, 2, 0, 3, 4, 5], matrix=np.eye(64)),
}
TARGETED = {k: v for k, v in FAMILIES.items() if k != "gp"}
SINGLE_TARGET_FAMILIES = [k for k in TARGETED if k != "swap" and not k.startswith("unitary")]


def with_fields(g, **fields):
    g = dict(g)
    g.update(fields)
    return g


def expect_refused(g, n, mode, exc=ValueError, message=None):
    """The gate fails before any kernel runs: the state keeps every amplitude."""
    rng = np.random.default_rng(0)
    a = (rng.standard_normal(2**n) + 1j * rng.standard_normal(2**n)).astype(np.complex128)
    s = ketsim.DeviceState.from_numpy(n, a)
    with pytest.raises(exc) as info:
        ketsim.run_circuit_device(s, [g], mode=mode)
    if message is not None:
        assert str(info.value) == message
    np.testing.assert_array_equal(s.to_numpy(), a)
    return info.value


CONTROL_CASES = [
    ("size", [3], [0, 1], CONTROL_SIZE_MESSAGE),
    ("size-empty-states", [70], [], CONTROL_SIZE_MESSAGE),
    ("index-63", [63], [1], CONTROL_INDEX_MESSAGE),
    ("index-minus-1", [-1], [1], CONTROL_INDEX_MESSAGE),
    ("index-first", [3, 70], [1, 1], CONTROL_INDEX_MESSAGE),
    ("state-2", [3], [2], CONTROL_STATE_MESSAGE),
    ("state-minus-1", [3], [-1], CONTROL_STATE_MESSAGE),
    ("state-before-later-index", [3, 70], [2, 1], CONTROL_STATE_MESSAGE),
    ("index-before-own-state", [0, 70], [1, 2], CONTROL_INDEX_MESSAGE),
]


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
@pytest.mark.parametrize("case", CONTROL_CASES, ids=lambda c: c[0])
@pytest.mark.parametrize("family", FAMILIES)
def test_control_list_messages(family, case, mode):
    _, control, control_state, message = case
    g = with_fields(FAMILIES[family], control=control, control_state=control_state)
    n = 6 if family == "unitary6" else N
    expect_refused(g, n, mode, message=message)


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
@pytest.mark.parametrize("family", [f for f in TARGETED if f not in ("unitary6",)])
def test_control_messages_come_before_our_target_checks(family, mode):
    g = FAMILIES[family]
    bad_targets = [99] + g["target"][1:]
    expect_refused(with_fields(g, target=bad_targets, control=[63], control_state=[1]), N, mode,
                   message=CONTROL_INDEX_MESSAGE)


# Gates whose qubits would take a kernel outside the state or onto the wrong amplitudes.
OUR_TARGET_CASES = [
    ("target-n", lambda t: [N] + t[1:]),
    ("target-62", lambda t: [62] + t[1:]),
    ("target-minus-1", lambda t: [-1] + t[1:]),
    ("target-2**31", lambda t: [2**31] + t[1:]),
    ("target-2**40", lambda t: [2**40] + t[1:]),
    ("last-target-n", lambda t: t[:-1] + [N] if len(t) > 1 else [N]),
]
OUR_CONTROL_CASES = [
    ("control-n-state1", lambda t: ([N], [1])),
    ("control-n-state0", lambda t: ([N], [0])),
    ("control-62", lambda t: ([62], [1])),
    ("duplicate-controls", lambda t: ([3, 3], [1, 1])),
    ("duplicate-controls-mixed-states", lambda t: ([3, 3], [1, 0])),
    ("control-is-target", lambda t: ([t[0]], [1])),
    ("control-is-last-target", lambda t: ([t[-1]], [0])),
]


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
@pytest.mark.parametrize("case", OUR_TARGET_CASES, ids=lambda c: c[0])
@pytest.mark.parametrize("family", [f for f in TARGETED if f != "unitary6"])
def test_out_of_range_targets_are_refused(family, case, mode):
    g = FAMILIES[family]
    g = with_fields(g, target=case[1](g["target"]))
    expect_refused(g, N, mode)


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
@pytest.mark.parametrize("case", OUR_CONTROL_CASES, ids=lambda c: c[0])
@pytest.mark.parametrize("family", [f for f in FAMILIES if f != "unitary6"])
def test_bad_controls_are_refused(family, case, mode):
    g = FAMILIES[family]
    if family == "gp" and case[0].startswith("control-is"):
        pytest.skip("GLOBAL_PHASE has no target")
    control, control_state = case[1](g["target"])
    expect_refused(with_fields(g, control=control, control_state=control_state), N, mode)


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
@pytest.mark.parametrize("g", [
    gate("swap", [2, 2]),
    gate("unitary", [1, 1], matrix=np.eye(4)),
    gate("unitary", [0, 2, 0], matrix=np.eye(8)),
], ids=["swap", "unitary2", "unitary3"])
def test_duplicate_targets_are_refused(g, mode):
    expect_refused(g, N, mode)


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
@pytest.mark.parametrize("family", SINGLE_TARGET_FAMILIES)
def test_single_target_gate_without_target_is_refused(family, mode):
    err = expect_refused(with_fields(FAMILIES[family], target=[]), N, mode)
    assert "target" in str(err)


@pytest.mark.parametrize("mode", MODES, ids=mode_id)
@pytest.mark.parametrize("family", SINGLE_TARGET_FAMILIES)
def test_control_messages_come_before_the_missing_target_check(family, mode):
    g = with_fields(FAMILIES[family], target=[], control=[63], control_state=[1])
    expect_refused(g, N, mode, message=CONTROL_INDEX_MESSAGE)
