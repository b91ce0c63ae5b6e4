"""Failures on one rank only, in the middle of a collective call: the rank runs out of address space
(a cap on RLIMIT_AS, set on that rank alone) after some exchanges of a circuit, or before the gather
of to_numpy. That rank raises its own error, every other rank raises "failed on another rank", no
rank is left waiting, and the state stays whole: the gates before the one that failed are applied,
the qubit map agrees on every rank, and the state runs on once memory is back.

The cap is set from inside the call by a communicator that counts the engine's messages: an
mpi4py intracommunicator over COMM_WORLD whose Sendrecv and allreduce are wrapped (the engine
agrees on failures with allreduce), so the cap comes at an agreement point right after an exchange
has released its buffers."""

import ctypes
import resource

import numpy as np
import pytest
from mpi4py import MPI

import ketsim
from distributed_testing import comm, gate, global_qubits, ranks

LOCAL = 19  # 4 MiB halves (complex128): every exchange buffer is larger than the headroom
HEADROOM = 2 << 20
M_MMAP_THRESHOLD = -3

try:
    _libc = ctypes.CDLL(None)

    class _MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")]

    _libc.mallinfo2.restype = _MallInfo2
    # Blocks of a MiB or more from fresh mappings, never from free heap space, so the cap decides.
    _libc.mallopt(M_MMAP_THRESHOLD, 1 << 20)
    _GLIBC = True
except (OSError, AttributeError):
    _GLIBC = False

pytestmark = pytest.mark.skipif(not _GLIBC or ranks() == 1, reason="needs glibc and two ranks or more")


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize")


class CappedAddressSpace:
    """RLIMIT_AS set to the current size plus HEADROOM on this rank until restore()."""

    def __init__(self):
        self.previous = None

    def cap(self):
        self.previous = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + HEADROOM, self.previous[1]))

    def restore(self):
        if self.previous is not None:
            resource.setrlimit(resource.RLIMIT_AS, self.previous)
            self.previous = None


class CappingComm(MPI.Intracomm):
    """COMM_WORLD that caps `failing` rank's address space at the first agreement after `after`
    exchange messages."""

    def arm(self, failing, after):
        self.failing = failing
        self.after = after
        self.messages = 0
        self.memory = CappedAddressSpace()
        return self

    def Sendrecv(self, *args, **kwargs):
        super().Sendrecv(*args, **kwargs)
        self.messages += 1

    def allreduce(self, *args, **kwargs):
        result = super().allreduce(*args, **kwargs)
        if (self.Get_rank() == self.failing and self.messages >= self.after and self.after > 0
                and self.memory.previous is None):
            self.memory.cap()
            self.after = 0  # once
        return result


def free_heap_is_small():
    """Collective: whether no rank's heap holds free space an exchange buffer could come from."""
    _libc.malloc_trim(0)
    return all(comm().allgather(_libc.mallinfo2().fordblks < (4 << 20)))


def h(q):
    return gate("h", [q])


def product_state(flipped, n):
    """|+> on the qubits in `flipped`, |0> on the others (qubit 0 the fastest index)."""
    plus = np.array([1, 1]) / np.sqrt(2)
    zero = np.array([1, 0])
    out = np.ones(1)
    for q in reversed(range(n)):
        out = np.kron(out, plus if q in flipped else zero)
    return out


def parity_after(gates, count):
    flipped = set()
    for g in gates[:count]:
        flipped ^= {g["target"][0]}
    return flipped


def raised_as_documented(raised, failing):
    """What is wrong with the exception this rank raised, or None: checked after the collective steps
    that follow, so that a rank failing the check leaves no other rank waiting."""
    text = str(raised.value)
    if comm().Get_rank() == failing:
        if not (isinstance(raised.value, MemoryError) or "out of memory" in text.lower()) or "another rank" in text:
            return f"the failing rank raised {raised.type.__name__}: {text}"
    elif raised.type is not RuntimeError or "DistributedState operation failed on another rank" not in text:
        return f"another rank raised {raised.type.__name__}: {text}"
    return None


@pytest.mark.parametrize("setting, failing, after", [("0", "first", 1), ("0", "last", 2), ("1", "first", 2),
                                                    ("1", "last", 1)])
def test_out_of_memory_on_one_rank_after_some_exchanges(setting, failing, after, monkeypatch):
    if ketsim.__backend__ != "host" and setting == "1":
        pytest.skip("the address-space cap limits host memory only; GPU exchange buffers are not held by it")
    monkeypatch.setenv("VELLORAN_MPI_DEVICE_BUFFERS", setting)
    monkeypatch.delenv("VELLORAN_MPI_CHUNK_BYTES", raising=False)  # one message per exchange
    failing_rank = 0 if failing == "first" else ranks() - 1
    n = LOCAL + global_qubits()
    # H on every qubit from the top down, three times: each H on a global qubit is one exchange,
    # and the state after any whole number of gates is a product of |0> and |+>.
    gates = [h(q) for q in reversed(range(n))] * 3
    capped = CappingComm(MPI.COMM_WORLD).arm(failing_rank, after)
    state = ketsim.DistributedState.zero_state(n, comm=capped)
    if not free_heap_is_small():
        pytest.skip("free heap space large enough to hide the cap")
    try:
        with pytest.raises((MemoryError, RuntimeError)) as raised:
            ketsim.run_circuit_device(state, gates)
    finally:
        capped.memory.restore()
    problem = raised_as_documented(raised, failing_rank)
    # Every collective step first, the checks after: a rank failing one leaves no other waiting.
    layout = (state.exchange_count, state.exchanged_bytes, list(state.qubit_map))
    layouts = comm().allgather(layout)
    # Whole gates were applied: the state is the circuit's prefix up to a gate on a global qubit. In
    # a product of |0> and |+>, qubit q is |+> exactly where amplitude 2**q is not zero.
    actual = state.to_numpy()
    flipped = {q for q in range(n) if abs(actual[1 << q]) > 1e-6}
    count = next((c for c in range(len(gates) + 1) if parity_after(gates, c) == flipped), None)
    final = None
    if count is not None and 0 < count < len(gates):
        global_next = state.qubit_map[gates[count]["target"][0]] >= state.local_qubits
        # With memory back, the rest of the circuit runs from there to the circuit's final state.
        ketsim.run_circuit_device(state, gates[count:])
        final = state.to_numpy()
    assert problem is None, problem
    # The exchanges before the failure happened, the failed one left no trace, on every rank alike.
    assert layout[0] == after
    assert all(value == layout for value in layouts)
    assert final is not None, f"the state is no prefix of the circuit: |+> on {sorted(flipped)}"
    np.testing.assert_allclose(actual, product_state(flipped, n), rtol=0, atol=1e-12)
    assert global_next, "the failed gate did not need an exchange"
    np.testing.assert_allclose(final, product_state(parity_after(gates, len(gates)), n), rtol=0, atol=1e-12)


def raise_with_one_rank_capped(failing_rank, action):
    """Runs action on every rank with the address space capped on `failing_rank` only; it must raise
    everywhere. Returns what pytest.raises caught."""
    memory = CappedAddressSpace()
    try:
        if comm().Get_rank() == failing_rank:
            memory.cap()
        with pytest.raises((MemoryError, RuntimeError)) as raised:
            action()
    finally:
        memory.restore()
    return raised


@pytest.mark.parametrize("failing", ["first", "last"])
def test_out_of_memory_on_one_rank_in_the_gather(failing):
    failing_rank = 0 if failing == "first" else ranks() - 1
    n = LOCAL + global_qubits()
    state = ketsim.DistributedState.zero_state(n)
    ketsim.run_circuit_device(state, [h(q) for q in range(n)])
    problem = raised_as_documented(raise_with_one_rank_capped(failing_rank, state.to_numpy), failing_rank)
    np.testing.assert_allclose(state.to_numpy(), product_state(set(range(n)), n), rtol=0, atol=1e-12)
    assert problem is None, problem


def test_out_of_memory_on_one_rank_while_sampling():
    # The probabilities of 2**19 outcomes (4 MiB) do not fit on one rank; the sums and the collapse
    # that would follow wait for no one.
    failing_rank = ranks() - 1
    n = LOCAL + global_qubits()
    state = ketsim.DistributedState.zero_state(n)
    ketsim.run_circuit_device(state, [h(q) for q in range(n)])
    raised = raise_with_one_rank_capped(failing_rank, lambda: ketsim.sample_measure_device(
        state, list(range(LOCAL)), 1000, seed=5, collapse_last=True))
    problem = raised_as_documented(raised, failing_rank)
    counts, last = ketsim.sample_measure_device(state, [0, n - 1], 1000, seed=5)
    assert sum(counts.values()) == 1000 and len(last) == 2
    assert problem is None, problem
