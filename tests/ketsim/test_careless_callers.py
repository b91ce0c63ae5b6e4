"""Callers that misuse the module must get Python exceptions, never a crash: gate lists changed by
callbacks or other threads while they are parsed, objects made without their factory, planner
options that would need unbounded memory, and long calls stopped with Ctrl-C."""

import threading

import numpy as np
import pytest

import ketsim
from careless import Mutating, interrupted, replace_with_garbage
from ketsim_testing import GateObject, gate

MODES = [ketsim.KernelMode.AllState, ketsim.KernelMode.Pair, ketsim.KernelMode.PairAuto,
         ketsim.KernelMode.PairAutoFusion]


def x_gate(target=0):
    return gate("x", target)


# ---- gate lists changed while they are read ------------------------------------------------------

class MutatingMapping:
    """A gate given as a mapping whose keys() changes the list being parsed."""

    def __init__(self, gate_dict, action):
        self.gate, self.action = gate_dict, action

    def keys(self):
        self.action()
        return self.gate.keys()

    def __getitem__(self, key):
        return self.gate[key]


def make_chunk(how, count):
    """`count` X gates on qubit 0 whose parse empties and refills the list they came in."""
    gates = []
    action = replace_with_garbage(gates)
    for _ in range(count):
        if how == "index":
            gates.append(gate("x", [Mutating(0, action)]))
        elif how == "float":
            gates.append(gate("rx", 0, parameter=[Mutating(np.pi, action)]))
        else:
            gates.append(MutatingMapping(x_gate(), action))
    return gates


@pytest.mark.parametrize("how", ["index", "float", "mapping"])
@pytest.mark.parametrize("entry", ["run_circuit", "run_circuit_device"])
def test_gate_ir_changed_while_parsed_runs_the_chunk_as_given(entry, how):
    # 5 gates, each one an X (rx(pi) is X up to a phase): qubit 0 ends in |1>.
    gates = make_chunk(how, 5)
    if entry == "run_circuit":
        state = np.zeros(4, dtype=np.complex128)
        state[0] = 1
        ketsim.run_circuit(2, state, gates)
    else:
        device_state = ketsim.DeviceState.zero_state(2)
        ketsim.run_circuit_device(device_state, gates)
        state = device_state.to_numpy()
    assert abs(abs(state[1]) - 1) < 1e-12
    assert len(gates) == 64  # the caller's list was changed, the parse read its own snapshot


@pytest.mark.parametrize("entry", ["run_circuit_device_gates", "prepare_fusion_chunk_gates"])
def test_gate_objects_changed_while_parsed(entry):
    gates = []
    action = replace_with_garbage(gates)
    gates += [GateObject("x", [Mutating(0, action)], [], [], []) for _ in range(3)]
    device_state = ketsim.DeviceState.zero_state(2)
    if entry == "run_circuit_device_gates":
        ketsim.run_circuit_device_gates(device_state, gates)
    else:
        chunk = ketsim.prepare_fusion_chunk_gates(2, gates)
        assert chunk.gate_count == 3
        ketsim.execute_prepared_fusion_chunk(device_state, chunk)
    assert abs(device_state.to_numpy()[1]) == pytest.approx(1)


def test_exception_from_a_callback_fails_the_call_and_leaves_the_array():
    class Boom(Exception):
        pass

    def fail():
        raise Boom("from __index__")

    state = np.zeros(4, dtype=np.complex64)
    state[0] = 1
    before = state.copy()
    # The integer conversion reports a failed element as a cast failure, others pass it through.
    with pytest.raises((Boom, RuntimeError)):
        ketsim.run_circuit(2, state, [x_gate(), gate("x", [Mutating(1, fail)])])
    np.testing.assert_array_equal(state, before)


def test_list_shared_with_a_thread_that_changes_it():
    """One thread runs a shared list over and over while another appends and trims it."""
    shared = [x_gate(0), x_gate(1)]
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            shared.extend([x_gate(0), {"id": "h"}, object(), x_gate(1)])
            del shared[2:]

    device_state = ketsim.DeviceState.zero_state(3)
    worker = threading.Thread(target=churn)
    worker.start()
    try:
        for _ in range(300):
            try:
                ketsim.run_circuit_device(device_state, shared)
            except (KeyError, TypeError, ValueError, RuntimeError):
                pass  # a snapshot taken with the junk in it is refused as a whole
    finally:
        stop.set()
        worker.join()
    # Only whole chunks of X gates ran (how many depends on the thread switches): a basis state.
    state = device_state.to_numpy()
    assert np.count_nonzero(np.abs(state) > 1e-12) == 1 and abs(np.linalg.norm(state) - 1) < 1e-12


# ---- objects made without their factory -----------------------------------------------------------

def blank(cls):
    return cls.__new__(cls)


DEVICE_STATE_USES = {
    "n": lambda s: s.n,
    "num_state": lambda s: s.num_state,
    "device_id": lambda s: s.device_id,
    "dtype": lambda s: s.dtype,
    "to_numpy": lambda s: s.to_numpy(),
    "copy_to_numpy": lambda s: s.copy_to_numpy(np.zeros(2, dtype=np.complex128)),
    "run_circuit_device": lambda s: ketsim.run_circuit_device(s, [x_gate()]),
    "run_circuit_device_gates": lambda s: ketsim.run_circuit_device_gates(s, []),
    "execute_prepared_fusion_chunk": lambda s: ketsim.execute_prepared_fusion_chunk(
        s, ketsim.prepare_fusion_chunk_gates(1, [])),
    "measure_device": lambda s: ketsim.measure_device(s, [0]),
    "sample_measure_device": lambda s: ketsim.sample_measure_device(s, [0], 10),
}


@pytest.mark.parametrize("use", DEVICE_STATE_USES.values(), ids=DEVICE_STATE_USES.keys())
def test_blank_device_state_is_refused(use):
    with pytest.raises(TypeError, match=r"^DeviceState object is not initialised; create it with "
                                        r"DeviceState\.from_numpy or DeviceState\.zero_state$"):
        use(blank(ketsim.DeviceState))


def test_blank_subclass_instance_is_refused():
    class Mine(ketsim.DeviceState):
        pass

    with pytest.raises(TypeError, match="DeviceState object is not initialised"):
        blank(Mine).to_numpy()


@pytest.mark.parametrize("use", [lambda c: c.n, lambda c: c.gate_count,
                                 lambda c: ketsim.execute_prepared_fusion_chunk(ketsim.DeviceState.zero_state(1), c)],
                         ids=["n", "gate_count", "execute_prepared_fusion_chunk"])
def test_blank_prepared_chunk_is_refused(use):
    with pytest.raises(TypeError, match=r"^PreparedFusionChunk object is not initialised; create it with "
                                        r"prepare_fusion_chunk_gates$"):
        use(blank(ketsim.PreparedFusionChunk))


def test_object_posing_as_a_device_state_is_not_one():
    class Impostor:
        __class__ = ketsim.DeviceState  # fools isinstance(), not the argument check

    assert isinstance(Impostor(), ketsim.DeviceState)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        ketsim.run_circuit_device(Impostor(), [])


# ---- planner options ------------------------------------------------------------------------------

@pytest.mark.parametrize("options", [
    {"densemm_max_qubits": 14, "sparsesharemem_qubits": 14, "densemm_gate_threshold_scale": -1.0},
    {"densemm_max_qubits": 11, "sparsesharemem_qubits": 11},
    {"densemm_max_qubits": 2**31 - 1, "sparsesharemem_qubits": 2**31 - 1},
])
def test_options_that_allow_huge_dense_matrices_are_refused(options):
    with pytest.raises(ValueError, match=r"^densemm_max_qubits must be at most 10"):
        ketsim.prepare_fusion_chunk_gates(20, [GateObject("h", [q], [], [], []) for q in range(20)], **options)


@pytest.mark.parametrize("n, options", [
    (20, {"densemm_max_qubits": 10, "sparsesharemem_qubits": 14}),
    (20, {"densemm_max_qubits": 14, "sparsesharemem_qubits": 10}),
    (20, {"densemm_max_qubits": 14, "sparsesharemem_qubits": 14, "densemm_min_qubits": 15}),
    (11, {"densemm_max_qubits": 14, "sparsesharemem_qubits": 14}),  # groups have fewer than n qubits
])
def test_options_whose_dense_groups_stay_small_are_accepted(n, options):
    ketsim.prepare_fusion_chunk_gates(n, [GateObject("h", [q], [], [], []) for q in range(n)], **options)


def test_refused_options_do_not_read_the_gates():
    def fail():
        raise AssertionError("gates read")

    with pytest.raises(ValueError, match="densemm_max_qubits"):
        ketsim.prepare_fusion_chunk_gates(20, [GateObject("x", [Mutating(0, fail)], [], [], [])],
                                          densemm_max_qubits=12, sparsesharemem_qubits=12)


# ---- Ctrl-C ---------------------------------------------------------------------------------------

ANGLE = 1e-5

# A GPU build queues the kernels and returns within milliseconds: nothing is left to interrupt.
host_only = pytest.mark.skipif(ketsim.__backend__ != "host", reason="gate runs are asynchronous on a GPU")


def rz_chain(count, target=0):
    return [gate("rz", target, parameter=[ANGLE]) for _ in range(count)]


def applied_rz_count(state):
    """How many RZ(ANGLE) gates on qubit 0 turned |+>|0...> into its current state; whole gates only
    give a whole number."""
    ratio = state[1] / state[0]
    assert abs(abs(ratio) - 1) < 1e-9 and abs(np.linalg.norm(state) - 1) < 1e-9
    return np.angle(ratio) / ANGLE


def plus_state(n):
    device_state = ketsim.DeviceState.zero_state(n)
    ketsim.run_circuit_device(device_state, [gate("h", 0)])
    return device_state


@host_only
@pytest.mark.parametrize("mode", MODES, ids=lambda m: m.name)
def test_ctrl_c_stops_a_long_gate_list_between_gates(mode):
    # Long enough to run for a minute on any machine, so a loaded one cannot finish it before the
    # signal (0.5 s in) is handled. Fused groups apply up to 512 of these gates in one pass, so that
    # mode gets a larger state.
    total = 200000
    device_state = plus_state(22 if mode == ketsim.KernelMode.PairAutoFusion else 16)
    gates = rz_chain(total)
    assert interrupted(lambda: ketsim.run_circuit_device(device_state, gates, mode=mode), delay=0.5)
    applied = applied_rz_count(device_state.to_numpy())
    assert abs(applied - round(applied)) < 1e-3 and 0 <= round(applied) < total


@host_only
def test_ctrl_c_stops_a_prepared_chunk_between_groups():
    total = 25000
    device_state = plus_state(16)
    # Alternating targets keep every gate in its own group.
    objects = [GateObject("rz", [0], [], [], [ANGLE]) if i % 2 == 0 else GateObject("rx", [15], [], [], [0.0])
               for i in range(2 * total)]
    chunk = ketsim.prepare_fusion_chunk_gates(16, objects, sparsesharemem_qubits=0)
    assert interrupted(lambda: ketsim.execute_prepared_fusion_chunk(device_state, chunk))
    applied = applied_rz_count(device_state.to_numpy())
    assert abs(applied - round(applied)) < 1e-3 and 0 <= round(applied) < total


def test_ctrl_c_stops_sampling_and_the_state_stays_usable():
    device_state = plus_state(4)
    assert interrupted(lambda: ketsim.sample_measure_device(device_state, [0, 1, 2, 3], 2**64 - 1))
    counts, _ = ketsim.sample_measure_device(device_state, [0], 1000, seed=3)
    assert sum(counts.values()) == 1000 and set(counts) == {"0", "1"}


@host_only
def test_a_call_from_another_thread_is_not_stopped_by_the_main_threads_signal():
    # Signals are the main thread's: a worker's run finishes and the main thread sees the interrupt.
    device_state = plus_state(14)
    gates = rz_chain(30000)
    done = threading.Event()

    def work():
        ketsim.run_circuit_device(device_state, gates)
        done.set()

    worker = threading.Thread(target=work)
    assert interrupted(lambda: (worker.start(), worker.join()), delay=0.05)
    assert done.wait(120)  # not join(): an interrupted join can return early on some Pythons
    worker.join()
    assert round(applied_rz_count(device_state.to_numpy())) == 30000
