"""Gate fusion end to end: PairAutoFusion runs and prepared chunks agree with the NumPy reference and
with PairAuto on random circuits of every gate kind; options that disable fusion; the messages of
planning and execution; the per-thread DenseMM cache; planning on one thread while another
executes."""

import re
import threading

import numpy as np
import pytest
from hypothesis_optional import given, settings, st

import ketsim
import reference
from ketsim_testing import DTYPES, GateObject, assert_state_close, expected_state, gate, run_entry

FUSION = ketsim.KernelMode.PairAutoFusion
PAIR_AUTO = ketsim.KernelMode.PairAuto
ANGLES = st.floats(-7.0, 7.0, allow_nan=False, allow_infinity=False)


def objects(gates):
    return [GateObject.from_dict(g) for g in gates]


def random_input(n, dtype, seed):
    return reference.random_state(n, dtype, np.random.default_rng(seed))


def run_prepared(n, state, gates, **options):
    chunk = ketsim.prepare_fusion_chunk_gates(n, objects(gates), **options)
    device_state = ketsim.DeviceState.from_numpy(n, state)
    ketsim.execute_prepared_fusion_chunk(device_state, chunk)
    return device_state.to_numpy()


def basis(n, dtype=np.complex128, index=0):
    state = np.zeros(2**n, dtype=dtype)
    state[index] = 1
    return state


# --- random circuits ------------------------------------------------------------------------------

@st.composite
def fusion_gate(draw, n, hot):
    """A gate of any kind; targets are mostly drawn from a few `hot` qubits so that runs fuse."""
    names = [name for name in reference.ALL_NAMES if n >= 2 or reference.resolve(name, [])[0] != 10]
    name = draw(st.sampled_from(names))
    gid, _ = reference.resolve(name, [])
    width = {10: 2, 15: 0}.get(gid, 1)
    if gid == 17:
        width = draw(st.sampled_from([1, 1, 1, 2, 3]))
        width = min(width, n)
    order = draw(st.permutations(range(n)))
    if draw(st.booleans()):
        order = [q for q in order if q in hot] + [q for q in order if q not in hot]
    targets, free = list(order[:width]), list(order[width:])
    k = draw(st.integers(0, min(len(free), 3)))
    control_state = draw(st.lists(st.integers(0, 1), min_size=k, max_size=k))
    count = reference.PARAM_COUNTS.get(gid, 0)
    params = draw(st.lists(ANGLES, min_size=count, max_size=count))
    matrix = None
    if gid == 17:
        matrix = reference.random_unitary(2**width, np.random.default_rng(draw(st.integers(0, 2**32 - 1))))
    return gate(name, targets, free[:k], control_state, params, matrix)


@st.composite
def fusion_circuits(draw, max_qubits=16, max_gates=40):
    n = draw(st.integers(1, max_qubits))
    hot = draw(st.sets(st.integers(0, n - 1), min_size=1, max_size=min(n, 4)))
    gates = draw(st.lists(fusion_gate(n, hot), max_size=max_gates))
    return n, gates


# Options that reach every group kind: DenseMM for any size (negative threshold scale), small active
# sets, no padding, short windows, SWAPs kept apart.
OPTIONS = st.fixed_dictionaries({}, optional={
    "fuse_swap": st.booleans(),
    "sparsesharemem_qubits": st.integers(0, 10),
    "densemm_min_qubits": st.integers(0, 4),
    "densemm_max_qubits": st.integers(0, 8),
    "densemm_gate_threshold_scale": st.sampled_from([1.0, 0.5, 0.0, -1.0]),
    "max_gates_per_group": st.integers(0, 40),
    "pad_sparsesharemem": st.booleans(),
})


@settings(max_examples=60, deadline=None)
@given(circuit=fusion_circuits(), dtype=st.sampled_from(DTYPES),
       entry=st.sampled_from(("run_circuit", "run_circuit_device", "run_circuit_device_gates")),
       seed=st.integers(0, 2**32 - 1))
def test_fusion_mode_matches_reference_and_pair_auto(circuit, dtype, entry, seed):
    n, gates = circuit
    state = random_input(n, dtype, seed)
    fused = run_entry(entry, n, state, gates, FUSION)
    assert_state_close(fused, expected_state(state, n, gates), dtype, len(gates))
    assert_state_close(fused, run_entry("run_circuit", n, state, gates, PAIR_AUTO), dtype, 2 * len(gates))


@settings(max_examples=60, deadline=None)
@given(circuit=fusion_circuits(), options=OPTIONS, dtype=st.sampled_from(DTYPES), seed=st.integers(0, 2**32 - 1))
def test_prepared_chunk_matches_reference(circuit, options, dtype, seed):
    n, gates = circuit
    state = random_input(n, dtype, seed)
    assert_state_close(run_prepared(n, state, gates, **options), expected_state(state, n, gates), dtype,
                       len(gates))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("n", [14, 16])
def test_dense_groups_on_larger_states(n, dtype):
    # Long runs on few qubits: with the default options these become DenseMM groups.
    rng = np.random.default_rng(n)
    gates = []
    for i in range(120):
        q = int(rng.integers(0, 3))
        gates.append(gate("rz", q, parameter=[float(rng.normal())]) if i % 3 else gate("h", q))
        if i % 10 == 0:
            gates.append(gate("cx", 2, control=[0]))
    state = random_input(n, dtype, n)
    assert_state_close(run_entry("run_circuit_device", n, state, gates, FUSION), expected_state(state, n, gates),
                       dtype, len(gates))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("free, n, options", [
    (range(4), 14, {}),  # ten active qubits above four free low ones
    (range(2), 12, {}),  # the two lowest qubits free, nothing to spare above
    (range(6), 17, {}),  # more free low qubits than a tile takes as lanes: the rest index the tiles
    ([0], 9, {"pad_sparsesharemem": False, "sparsesharemem_qubits": 4}),  # small groups, qubit 0 free
    (range(3), 9, {"pad_sparsesharemem": False, "sparsesharemem_qubits": 6}),
    # Free qubits between active ones: the tile's extra qubits sit among the records' qubits.
    ([1, 3, 4], 12, {"pad_sparsesharemem": False, "sparsesharemem_qubits": 5}),
    ([0, 2, 5, 6], 15, {"pad_sparsesharemem": False, "sparsesharemem_qubits": 7}),
    ([3, 8], 16, {}),
])
def test_groups_beside_free_qubits(free, n, options, dtype):
    # Every gate kind of a SparseShareMem group on the qubits outside `free`, so that the tile can take
    # free qubits as extra local ones; controls inside and outside the group's gates.
    rng = np.random.default_rng(sum(free) + n)
    qubits = [q for q in range(n) if q not in free]
    gates = []
    for i in range(60):
        a, b, c = (int(q) for q in rng.choice(qubits, 3, replace=False))
        kind = i % 9
        if kind == 0:
            gates.append(gate("h", a))
        elif kind == 1:
            gates.append(gate("rx", a, parameter=[float(rng.normal())]))
        elif kind == 2:
            gates.append(gate("ry", a, [b], [1], [float(rng.normal())]))
        elif kind == 3:
            gates.append(gate("rz", a, parameter=[float(rng.normal())]))
        elif kind == 4:
            gates.append(gate("z", a, [b]))
        elif kind == 5:
            gates.append(gate("x", a, [b, c], [0, 1]))
        elif kind == 6:
            gates.append(gate("swap", [a, b]))
        elif kind == 7:
            gates.append(gate("y", a))
        else:
            gates.append(gate("unitary", [a], [b], [0], matrix=reference.random_unitary(2, rng)))
    state = random_input(n, dtype, 11)
    assert_state_close(run_prepared(n, state, gates, **options), expected_state(state, n, gates), dtype, len(gates))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("controls, control_state", [([], []), ([2], [1]), ([2], [0]), ([0, 3], [1, 0])])
@pytest.mark.parametrize("name, targets, params", [
    ("x", [1], []), ("y", [1], []), ("z", [1], []), ("h", [1], []), ("s", [1], []), ("s_dag", [1], []),
    ("sx", [1], []), ("sxdg", [1], []), ("sqrty", [1], []), ("sqrty_dag", [1], []), ("swap", [1, 4], []),
    ("swap", [4, 1], []), ("rx", [1], [0.9]), ("ry", [1], [-1.1]), ("rz", [1], [2.3]), ("p", [1], [0.4]),
    ("t", [1], []), ("u", [1], [0.3, -0.8, 1.9]), ("unitary", [1], []),
])
@pytest.mark.parametrize("options", [{}, {"densemm_gate_threshold_scale": -1.0}],
                         ids=["sparsesharemem", "densemm"])
def test_each_gate_kind_inside_a_fused_group(name, targets, params, controls, control_state, dtype, options):
    # H on every qubit around the gate keeps it inside one multi-gate group (n = 6 fits K = 10);
    # the forced threshold makes that group DenseMM.
    n = 6
    matrix = reference.random_unitary(2, np.random.default_rng(3)) if name == "unitary" else None
    gates = [gate("h", q) for q in range(n)]
    gates.append(gate(name, targets, controls, control_state, params, matrix))
    gates += [gate("ry", q, parameter=[0.1 * q]) for q in range(n)]
    state = random_input(n, dtype, 7)
    if options:
        options = dict(options, sparsesharemem_qubits=5)  # DenseMM needs k < n
        gates = [g for g in gates if all(q != 5 for q in g["target"] + g["control"])]
    assert_state_close(run_prepared(n, state, gates, **options), expected_state(state, n, gates), dtype, len(gates))


# --- which path runs a gate -------------------------------------------------------------------------
# The fused H record scales by 0.7071067811865475 and the per-gate H kernel by 0.7071067811865476, so
# H on two qubits of |00> leaves 0.4999999999999999 when fused and 0.5000000000000001 when not.

H_PAIR = [gate("h", 0), gate("h", 1)]


def test_two_hadamards_fuse_by_default():
    fused = run_prepared(3, basis(3), H_PAIR)
    assert fused[0].real == 0.4999999999999999
    assert run_entry("run_circuit", 3, basis(3), H_PAIR, PAIR_AUTO)[0].real == 0.5000000000000001
    assert run_entry("run_circuit", 3, basis(3), H_PAIR, FUSION)[0].real == 0.4999999999999999


@pytest.mark.parametrize("options", [{"sparsesharemem_qubits": 0}, {"max_gates_per_group": 0},
                                     {"sparsesharemem_qubits": -5}, {"max_gates_per_group": -1}])
def test_options_that_disable_fusion_run_every_gate_alone(options):
    gates = H_PAIR + [gate("cx", 1, control=[0]), gate("h", 2), gate("swap", [0, 2])]
    per_gate = run_entry("run_circuit", 3, basis(3), gates, PAIR_AUTO)
    np.testing.assert_array_equal(run_prepared(3, basis(3), gates, **options), per_gate)
    assert not np.array_equal(run_prepared(3, basis(3), gates), per_gate)


def test_swaps_stay_out_of_groups_when_fuse_swap_is_false():
    gates = [gate("h", 0), gate("swap", [0, 1]), gate("h", 0)]
    per_gate = run_entry("run_circuit", 2, basis(2), gates, PAIR_AUTO)
    np.testing.assert_array_equal(run_prepared(2, basis(2), gates, fuse_swap=False), per_gate)
    fused = run_prepared(2, basis(2), gates)
    assert fused[3].real == 0.4999999999999999
    assert_state_close(fused, per_gate, np.complex128)


@pytest.mark.parametrize("stopper", [
    gate("gp", [], parameter=[0.3]),
    gate("unitary", [0, 1], matrix=np.eye(4)),
    gate("u1", 0, parameter=[0.2]),
], ids=["global_phase", "two_target_unitary", "u_with_one_angle"])
def test_gates_without_a_fused_form_run_alone(stopper):
    gates = H_PAIR + [stopper] + H_PAIR
    if stopper["id"] == "u1":
        with pytest.raises(ValueError, match=r"^U gate requires exactly three parameters\.$"):
            run_prepared(3, basis(3), gates)
        return
    out = run_prepared(3, basis(3), gates)
    assert_state_close(out, expected_state(basis(3), 3, gates), np.complex128)


# --- errors -----------------------------------------------------------------------------------------

def error_of(fn):
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the test compares type and text
        return type(e), str(e)
    return None


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("bad", [
    gate("x", 1, control=[2], control_state=[2]),
    gate("x", 1, control=[2], control_state=[-1]),
    gate("swap", [1, 2], control=[0], control_state=[5]),
    gate("x", 1, control=[1]),
    gate("x", 1, control=[2, 2]),
    gate("x", 7),
    gate("x", -1),
    gate("z", 1, control=[9]),
    gate("swap", [1, 1]),
    gate("swap", [1, 3], control=[3]),
    gate("rz", 1, control=[0, 2], control_state=[1]),
], ids=["state2", "state-1", "swap_state5", "control_is_target", "control_twice", "target_above_n",
        "negative_target", "control_above_n", "swap_one_qubit", "swap_control_is_target", "short_state"])
def test_gates_the_per_gate_path_refuses_are_refused_the_same_way(bad, dtype):
    # The bad gate sits between fusable gates on other qubits: the fused run must stop exactly where
    # the per-gate run stops, with the same exception, and keep the gates before it.
    n = 4
    before = [gate("h", 0), gate("h", 3), gate("ry", 1, parameter=[0.4])]
    after = [gate("h", 1), gate("x", 2)]
    gates = before + [bad] + after
    state = random_input(n, dtype, 1)
    expected_error = error_of(lambda: run_entry("run_circuit", n, state, gates, PAIR_AUTO))
    assert expected_error is not None and expected_error[0] is ValueError
    device_state = ketsim.DeviceState.from_numpy(n, state)
    assert error_of(lambda: ketsim.run_circuit_device(device_state, gates, mode=FUSION)) == expected_error
    assert_state_close(device_state.to_numpy(), expected_state(state, n, before), dtype, len(before))
    chunk = ketsim.prepare_fusion_chunk_gates(n, objects(gates))
    device_state = ketsim.DeviceState.from_numpy(n, state)
    assert error_of(lambda: ketsim.execute_prepared_fusion_chunk(device_state, chunk)) == expected_error
    assert_state_close(device_state.to_numpy(), expected_state(state, n, before), dtype, len(before))


def test_control_state_two_is_refused_in_fusion_mode():
    gates = [gate("h", 0), gate("x", 1, control=[0], control_state=[2]), gate("h", 0)]
    with pytest.raises(ValueError, match=r"^control_state must contain only 0/1$"):
        run_entry("run_circuit_device", 2, basis(2), gates, FUSION)


@pytest.mark.parametrize("n", [0, 63, -1])
def test_prepare_checks_n_before_reading_the_gates(n):
    with pytest.raises(ValueError, match=r"^n must be in \[1, 62\]$"):
        ketsim.prepare_fusion_chunk_gates(n, 5)


def test_prepare_passes_parse_errors_through():
    with pytest.raises(ValueError, match=r"^Unsupported CUDA gate id: foo$"):
        ketsim.prepare_fusion_chunk_gates(2, objects([gate("foo", 0)]))
    with pytest.raises(TypeError):
        ketsim.prepare_fusion_chunk_gates(2, 5)


def test_execute_requires_matching_qubit_count():
    chunk = ketsim.prepare_fusion_chunk_gates(4, objects(H_PAIR))
    with pytest.raises(ValueError, match=r"^DeviceState qubit count does not match prepared fusion chunk$"):
        ketsim.execute_prepared_fusion_chunk(ketsim.DeviceState.zero_state(5), chunk)
    with pytest.raises(TypeError):
        ketsim.execute_prepared_fusion_chunk(ketsim.DeviceState.zero_state(4), None)


def test_eleven_qubit_groups_are_refused_when_they_run():
    gates = [gate("x", 0), gate("gp", [], parameter=[0.0]), gate("h", 0), gate("h", 1)]
    chunk = ketsim.prepare_fusion_chunk_gates(12, objects(gates), sparsesharemem_qubits=11)
    device_state = ketsim.DeviceState.zero_state(12)
    with pytest.raises(ValueError, match=r"^SparseShareMem active qubits must be in \[1, 10\]$"):
        ketsim.execute_prepared_fusion_chunk(device_state, chunk)
    assert device_state.to_numpy()[1] == 1  # the X before ran


@pytest.mark.parametrize("option", ["sparsesharemem_qubits", "densemm_min_qubits", "densemm_max_qubits",
                                    "max_gates_per_group"])
def test_counting_options_are_32_bit(option):
    ketsim.prepare_fusion_chunk_gates(2, [], **{option: 2**31 - 1})
    ketsim.prepare_fusion_chunk_gates(2, [], **{option: -2**31})
    with pytest.raises(TypeError):
        ketsim.prepare_fusion_chunk_gates(2, [], **{option: 2**31})


# --- surface ----------------------------------------------------------------------------------------

def arguments(fn):
    """Argument names and default texts from the signature line of a binding's docstring."""
    line = fn.__doc__.splitlines()[0]
    return re.findall(r"(\w+): [^,=]+?(?: = ([^,]+?))?(?=, |\) ->)", line)


def test_prepare_signature_and_docstring():
    fn = ketsim.prepare_fusion_chunk_gates
    assert arguments(fn) == [("n", ""), ("gates", ""), ("fuse_swap", "True"), ("sparsesharemem_qubits", "10"),
                             ("densemm_min_qubits", "1"), ("densemm_max_qubits", "7"),
                             ("densemm_gate_threshold_scale", "1.0"), ("max_gates_per_group", "512"),
                             ("pad_sparsesharemem", "True")]
    assert fn.__doc__.strip().endswith("\n\nParse and plan one streamed chunk on the CPU without launching CUDA.")


def test_execute_signature_and_docstring():
    fn = ketsim.execute_prepared_fusion_chunk
    assert arguments(fn) == [("state", ""), ("chunk", "")]
    assert fn.__doc__.strip().endswith("\n\nExecute one CPU-prepared fusion chunk and wait for its CUDA work.")


def test_prepared_chunk_properties():
    gates = H_PAIR + [gate("gp", [], parameter=[0.1])]
    chunk = ketsim.prepare_fusion_chunk_gates(n=7, gates=iter(objects(gates)), fuse_swap=False,
                                              sparsesharemem_qubits=3, densemm_min_qubits=2, densemm_max_qubits=5,
                                              densemm_gate_threshold_scale=0.5, max_gates_per_group=9,
                                              pad_sparsesharemem=False)
    assert isinstance(chunk, ketsim.PreparedFusionChunk)
    assert (chunk.n, chunk.gate_count) == (7, 3)
    with pytest.raises(AttributeError):
        chunk.n = 3
    with pytest.raises(AttributeError):
        chunk.gate_count = 3
    with pytest.raises(TypeError):
        ketsim.PreparedFusionChunk()


def test_empty_chunks():
    chunk = ketsim.prepare_fusion_chunk_gates(3, [])
    assert chunk.gate_count == 0
    state = random_input(3, np.complex64, 2)
    device_state = ketsim.DeviceState.from_numpy(3, state)
    ketsim.execute_prepared_fusion_chunk(device_state, chunk)
    ketsim.run_circuit_device(device_state, [], mode=FUSION)
    np.testing.assert_array_equal(device_state.to_numpy(), state)


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_chunk_runs_again_on_any_state_of_its_size(dtype):
    gates = [gate("h", q) for q in range(5)] + [gate("rz", 2, control=[0], parameter=[0.7]), gate("swap", [1, 4])]
    chunk = ketsim.prepare_fusion_chunk_gates(5, objects(gates))
    for seed in range(2):
        state = random_input(5, dtype, seed)
        device_state = ketsim.DeviceState.from_numpy(5, state)
        ketsim.execute_prepared_fusion_chunk(device_state, chunk)
        ketsim.execute_prepared_fusion_chunk(device_state, chunk)
        assert_state_close(device_state.to_numpy(), expected_state(state, 5, gates + gates), dtype, 2 * len(gates))


def test_chunk_keeps_its_own_copy_of_the_gates():
    objs = objects([gate("x", 0), gate("x", 1)])
    chunk = ketsim.prepare_fusion_chunk_gates(2, objs)
    objs[0].target = [1]
    device_state = ketsim.DeviceState.zero_state(2)
    ketsim.execute_prepared_fusion_chunk(device_state, chunk)
    assert device_state.to_numpy()[3] == 1


# --- DenseMM cache and threads ----------------------------------------------------------------------

def dense_chunk(n):
    """Gates on qubits 0..2 that the forced threshold turns into one DenseMM group."""
    gates = [gate("h", q) for q in range(3)] + [gate("cx", 2, control=[1]), gate("rx", 0, parameter=[0.3])]
    return gates, ketsim.prepare_fusion_chunk_gates(n, objects(gates), densemm_gate_threshold_scale=-1.0)


def check_dense_run(n, dtype, seed):
    gates, chunk = dense_chunk(n)
    state = random_input(n, dtype, seed)
    device_state = ketsim.DeviceState.from_numpy(n, state)
    ketsim.execute_prepared_fusion_chunk(device_state, chunk)
    assert_state_close(device_state.to_numpy(), expected_state(state, n, gates), dtype, len(gates))


def test_dense_cache_grows_and_is_reused_across_sizes_and_precisions():
    # Growth (8 -> 12 -> 16 qubits), reuse of larger buffers for smaller states, and alternating
    # precisions, which keep separate caches.
    for i, (n, dtype) in enumerate([(8, np.complex128), (12, np.complex128), (5, np.complex128), (16, np.complex64),
                                    (9, np.complex128), (4, np.complex64), (16, np.complex128), (10, np.complex64)]):
        check_dense_run(n, dtype, i)


def test_dense_cache_per_thread():
    errors = []
    start = threading.Barrier(4)

    def work(index):
        try:
            start.wait()
            for r in range(3):
                check_dense_run(6 + 2 * index + r, DTYPES[(index + r) % 2], 10 * index + r)
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def test_planning_on_one_thread_while_another_executes():
    n = 16
    rng = np.random.default_rng(5)
    big = [gate("u", int(q), parameter=[float(a) for a in rng.normal(size=3)]) for q in rng.integers(0, n, 200)]
    big_chunk = ketsim.prepare_fusion_chunk_gates(n, objects(big))
    state = random_input(n, np.complex128, 4)
    device_state = ketsim.DeviceState.from_numpy(n, state)
    executing = threading.Event()
    planned = []
    errors = []

    def execute():
        try:
            executing.set()
            ketsim.execute_prepared_fusion_chunk(device_state, big_chunk)
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    worker = threading.Thread(target=execute)
    worker.start()
    executing.wait()
    small = [gate("h", q % 6) for q in range(50)] + [gate("cz", 1, control=[0])]
    while worker.is_alive() or not planned:
        planned.append(ketsim.prepare_fusion_chunk_gates(6, objects(small)))
    worker.join()
    assert not errors, errors
    assert_state_close(device_state.to_numpy(), expected_state(state, n, big), np.complex128, len(big))
    small_state = random_input(6, np.complex64, 9)
    device_small = ketsim.DeviceState.from_numpy(6, small_state)
    ketsim.execute_prepared_fusion_chunk(device_small, planned[-1])
    assert_state_close(device_small.to_numpy(), expected_state(small_state, 6, small), np.complex64, len(small))
