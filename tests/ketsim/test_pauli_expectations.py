"""pauli_expectations against NumPy: each Pauli string built as a full matrix by Kronecker products
(qubit 0 the last factor) for small registers, or applied factor by factor to the state as an
n-axis tensor for larger ones; known values of Y phases; groups of terms that share a flip mask over
several passes; the state left as it was; repeated calls bit for bit; unnormalised states; and every
refusal, before any device work."""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import ketsim
from careless import interrupted
from ketsim_testing import DTYPES, dtype_id

PAULI = {
    "I": np.eye(2, dtype=np.complex128),
    "X": np.array([[0, 1], [1, 0]], dtype=np.complex128),
    "Y": np.array([[0, -1j], [1j, 0]], dtype=np.complex128),
    "Z": np.array([[1, 0], [0, -1]], dtype=np.complex128),
}
# Sums are taken in double for both precisions, so both agree with a double reference on the stored
# amplitudes to a few double roundings per amplitude.
TOLERANCE = {np.dtype(np.complex64): 1e-10, np.dtype(np.complex128): 1e-12}


# ---- references ----------------------------------------------------------------------------------

def kron_matrix(label):
    """The 2^n x 2^n matrix of a string whose character j acts on qubit j (bit j of the index)."""
    m = np.ones((1, 1), dtype=np.complex128)
    for c in reversed(label):  # qubit n-1 is the first factor, qubit 0 the last
        m = np.kron(m, PAULI[c])
    return m


def kron_expectations(psi, labels):
    psi = np.asarray(psi, dtype=np.complex128)
    return np.array([np.vdot(psi, kron_matrix(p) @ psi).real for p in labels])


def tensor_apply(psi, label):
    """P psi with each factor contracted into its own axis; qubit q is axis n-1-q of the C-order view."""
    n = len(label)
    t = np.asarray(psi, dtype=np.complex128).reshape((2,) * n)
    for q, c in enumerate(label):
        if c != "I":
            t = np.moveaxis(np.tensordot(PAULI[c], t, axes=([1], [n - 1 - q])), 0, n - 1 - q)
    return t.reshape(-1)


def tensor_expectations(psi, labels):
    psi = np.asarray(psi, dtype=np.complex128)
    return np.array([np.vdot(psi, tensor_apply(psi, p)).real for p in labels])


# ---- helpers -------------------------------------------------------------------------------------

def random_state(n, dtype, seed, norm=1.0):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return (v * (norm / np.linalg.norm(v))).astype(dtype)


def random_labels(n, count, seed, alphabet="IXYZ"):
    rng = np.random.default_rng(seed)
    return ["".join(rng.choice(list(alphabet), size=n)) for _ in range(count)]


def same_flip_labels(n, count, seed):
    """`count` strings with X or Y on the same qubits (so one flip mask) and I or Z elsewhere."""
    rng = np.random.default_rng(seed)
    flipped = rng.random(n) < 0.5
    flipped[rng.integers(n)] = True
    return ["".join(rng.choice(["X", "Y"]) if f else rng.choice(["I", "Z"]) for f in flipped)
            for _ in range(count)]


def expectations(psi, labels):
    n = int(np.log2(psi.size))
    return ketsim.pauli_expectations(ketsim.DeviceState.from_numpy(n, psi), labels)


def assert_matches(values, expected, dtype):
    assert values.dtype == np.float64 and values.shape == (len(expected),)
    np.testing.assert_allclose(values, expected, rtol=0, atol=TOLERANCE[np.dtype(dtype)])


# ---- the references agree ------------------------------------------------------------------------

@pytest.mark.parametrize("n", [1, 2, 3, 5])
def test_the_two_references_agree_and_match_qiskit(n):
    from qiskit.quantum_info import Pauli, Statevector

    psi = random_state(n, np.complex128, seed=n)
    labels = random_labels(n, 12, seed=100 + n)
    kron = kron_expectations(psi, labels)
    np.testing.assert_allclose(tensor_expectations(psi, labels), kron, rtol=0, atol=1e-13)
    # Qiskit writes qubit 0 as the rightmost character.
    qiskit = [Statevector(psi).expectation_value(Pauli(p[::-1])).real for p in labels]
    np.testing.assert_allclose(qiskit, kron, rtol=0, atol=1e-13)


# ---- values --------------------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
@pytest.mark.parametrize("n", range(1, 9))
def test_random_states_and_strings(n, dtype):
    psi = random_state(n, dtype, seed=10 * n)
    labels = random_labels(n, 30, seed=20 * n) + same_flip_labels(n, 20, seed=30 * n)
    assert_matches(expectations(psi, labels), kron_expectations(psi, labels), dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
def test_larger_register_with_many_blocks(dtype):
    # 2^14 amplitudes: 32 blocks per flipped pass, 64 for the unflipped ones; 45 strings of one flip
    # mask take three passes, and the random ones nearly one mask each.
    n = 14
    psi = random_state(n, dtype, seed=7)
    labels = (random_labels(n, 25, seed=8) + same_flip_labels(n, 45, seed=9)
              + random_labels(n, 20, seed=10, alphabet="IZ") + ["I" * n, "X" * n, "Y" * n, "Z" * n])
    assert_matches(expectations(psi, labels), tensor_expectations(psi, labels), dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
@pytest.mark.parametrize("n", [1, 4, 11])
def test_identity_gives_the_squared_norm(n, dtype):
    psi = random_state(n, dtype, seed=n, norm=1.5)
    squared_norm = np.vdot(psi.astype(np.complex128), psi.astype(np.complex128)).real
    assert_matches(expectations(psi, ["I" * n] * 3), [squared_norm] * 3, dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
@pytest.mark.parametrize("n", [3, 10])
def test_pure_z_strings_are_signed_probabilities(n, dtype):
    psi = random_state(n, dtype, seed=40 + n)
    labels = random_labels(n, 40, seed=50 + n, alphabet="IZ")
    p = np.abs(psi.astype(np.complex128)) ** 2
    index = np.arange(2**n)
    expected = []
    for label in labels:
        z = sum(1 << q for q, c in enumerate(label) if c == "Z")
        parity = np.array([bin(i & z).count("1") & 1 for i in index])
        expected.append(np.sum(p * (1 - 2 * parity)))
    assert_matches(expectations(psi, labels), expected, dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
def test_many_distinct_flip_masks(dtype):
    n = 9
    psi = random_state(n, dtype, seed=60)
    # Every flip mask of the low four qubits with Y/X mixes, Z/I above.
    labels = []
    for mask in range(16):
        for variant in range(3):
            rng = np.random.default_rng(mask * 3 + variant)
            labels.append("".join((rng.choice(["X", "Y"]) if (mask >> q) & 1 else rng.choice(["I", "Z"]))
                                  if q < 4 else rng.choice(["I", "Z"]) for q in range(n)))
    assert_matches(expectations(psi, labels), kron_expectations(psi, labels), dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
@pytest.mark.parametrize("psi, label, value", [
    ([1, 1j], "Y", 1.0),
    ([1, -1j], "Y", -1.0),
    ([1, 1], "X", 1.0),
    ([1, 0, 0, 1], "YY", -1.0),           # Bell state
    ([1, 0, 0, 1], "XX", 1.0),
    ([1, 0, 0, -1], "XY", 0.0),
    ([1, 0, 0, 1j], "XY", 1.0),
    ([0, 1, -1j, 0], "XY", -1.0),          # qubit 0 set in the first amplitude
    ([1, 1j, 1j, -1], "YY", 1.0),          # |+i>|+i>
    ([1, 0, 0, 0, 0, 0, 0, 1j], "YYY", -1.0),
    ([1, 0, 0, 0, 0, 0, 0, 1j], "XXY", 1.0),
    ([1] + [0] * 14 + [-1], "YYYY", -1.0),  # four Ys: i^4 = 1, Y^4 on |0000> gives |1111>
], ids=lambda v: str(v) if isinstance(v, str) else None)
def test_y_phases_on_known_states(psi, label, value, dtype):
    psi = np.array(psi, dtype=np.complex128)
    psi = (psi / np.linalg.norm(psi)).astype(dtype)
    expected = kron_expectations(psi, [label])[0]
    assert expected == pytest.approx(value, abs=1e-7)  # the table itself is right
    assert_matches(expectations(psi, [label]), [expected], dtype)


# ---- the state and the bits ----------------------------------------------------------------------

@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
def test_state_is_left_bitwise_unchanged_and_usable(dtype):
    n = 10
    psi = random_state(n, dtype, seed=70)
    state = ketsim.DeviceState.from_numpy(n, psi)
    before = state.to_numpy()
    ketsim.pauli_expectations(state, random_labels(n, 50, seed=71) + same_flip_labels(n, 30, seed=72))
    after = state.to_numpy()
    assert after.tobytes() == before.tobytes() == psi.tobytes()
    assert state.n == n and state.dtype == np.dtype(dtype).name


@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
def test_repeated_calls_give_the_same_bits(dtype):
    n = 13
    state = ketsim.DeviceState.from_numpy(n, random_state(n, dtype, seed=80))
    labels = random_labels(n, 20, seed=81) + same_flip_labels(n, 20, seed=82)
    first = ketsim.pauli_expectations(state, labels)
    for _ in range(3):
        assert ketsim.pauli_expectations(state, labels).tobytes() == first.tobytes()


def test_values_do_not_depend_on_the_strings_beside_them():
    # 700 passes of 512 or 1024 blocks each: more partial sums than one batch holds, so the values
    # are copied back in several batches. A term's value is summed in the same order whatever else
    # the call holds, so each string alone gives the same bits.
    n = 18
    psi = random_state(n, np.complex64, seed=140)
    state = ketsim.DeviceState.from_numpy(n, psi)
    rng = np.random.default_rng(141)
    labels = ["".join("XY"[rng.integers(2)] if (m >> q) & 1 else "IZ"[rng.integers(2)] for q in range(n))
              for m in rng.choice(np.arange(1, 2**n), size=650, replace=False)]
    labels += random_labels(n, 50, seed=142, alphabet="IZ")
    labels = [labels[k] for k in rng.permutation(len(labels))]
    whole = ketsim.pauli_expectations(state, labels)
    alone = np.array([ketsim.pauli_expectations(state, [p])[0] for p in labels])
    assert whole.tobytes() == alone.tobytes()
    assert_matches(whole[:6], tensor_expectations(psi, labels[:6]), np.complex64)


@pytest.mark.parametrize("dtype", DTYPES, ids=dtype_id)
def test_unnormalised_states_are_not_renormalised(dtype):
    n = 9
    psi = random_state(n, dtype, seed=90)
    labels = random_labels(n, 30, seed=91) + ["I" * n]
    values = expectations(psi, labels)
    doubled = expectations((psi * 2).astype(dtype), labels)
    # Scaling by 2 is exact in binary floating point, so the sums are exactly four times as large.
    np.testing.assert_array_equal(doubled, 4 * values)
    assert doubled[-1] == pytest.approx(4.0, rel=1e-6)
    assert_matches(doubled, kron_expectations((psi * 2).astype(dtype), labels), dtype)


def test_empty_list_gives_an_empty_array():
    out = ketsim.pauli_expectations(ketsim.DeviceState.zero_state(3), [])
    assert out.dtype == np.float64 and out.shape == (0,)


@pytest.mark.parametrize("make", [tuple, iter, lambda labels: (p for p in labels)], ids=["tuple", "iterator",
                                                                                        "generator"])
def test_any_iterable_of_strings(make):
    n = 4
    psi = random_state(n, np.complex128, seed=95)
    labels = random_labels(n, 9, seed=96)
    assert_matches(expectations(psi, make(labels)), kron_expectations(psi, labels), np.complex128)


def test_str_subclass_items_are_read_as_strings():
    class Label(str):
        def __str__(self):
            raise AssertionError("not to be called")

    psi = random_state(3, np.complex128, seed=97)
    assert_matches(expectations(psi, [Label("XYZ")]), kron_expectations(psi, ["XYZ"]), np.complex128)


def test_iterable_that_changes_its_list_while_read_runs_the_strings_it_gave():
    labels = ["XX", "ZZ", "YY"]
    given = []

    class Hostile:
        def __iter__(self):
            for p in list(labels):
                given.append(p)
                labels.clear()
                labels.extend([object()] * 32)
                yield p

    psi = random_state(2, np.complex128, seed=98)
    assert_matches(expectations(psi, Hostile()), kron_expectations(psi, given), np.complex128)


def test_calls_from_several_threads_agree():
    n = 12
    state = ketsim.DeviceState.from_numpy(n, random_state(n, np.complex128, seed=99))
    labels = random_labels(n, 20, seed=100)
    expected = ketsim.pauli_expectations(state, labels)
    results = [None] * 4

    def worker(k):
        results[k] = ketsim.pauli_expectations(state, labels)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        assert r.tobytes() == expected.tobytes()


@pytest.mark.skipif(ketsim.__backend__ != "host", reason="a GPU finishes before the signal")
def test_ctrl_c_stops_a_long_call_between_passes():
    # 40000 flip masks, one pass each over 2^15 pairs: far longer than the signal's half second.
    n = 16
    psi = random_state(n, np.complex128, seed=120)
    state = ketsim.DeviceState.from_numpy(n, psi)
    labels = ["".join("X" if (m >> q) & 1 else "I" for q in range(n)) for m in range(1, 40001)]
    # A signal handled only after the call returned raises KeyboardInterrupt as well, so the proof
    # that the call stopped early is that it ended long before the whole list could have run: the
    # first 200 strings, timed here, take a 200th of the whole list's time.
    start = time.perf_counter()
    ketsim.pauli_expectations(state, labels[:200])
    whole = (time.perf_counter() - start) * len(labels) / 200
    start = time.perf_counter()
    assert interrupted(lambda: ketsim.pauli_expectations(state, labels), delay=0.5)
    assert time.perf_counter() - start < 0.5 + whole / 4
    assert state.to_numpy().tobytes() == psi.tobytes()
    assert_matches(ketsim.pauli_expectations(state, labels[:5]), tensor_expectations(psi, labels[:5]), np.complex128)


BLOCK_THREADS_RUN = """
import sys
import numpy as np
import ketsim
cases = np.load(sys.argv[1])
out = {}
for k in range(len(cases.files) // 2):
    psi, labels = cases[f"psi{k}"], [str(p) for p in cases[f"labels{k}"]]
    out[f"values{k}"] = ketsim.pauli_expectations(ketsim.DeviceState.from_numpy(int(psi.size).bit_length() - 1, psi),
                                                  labels)
np.savez(sys.argv[2], **out)
"""


@pytest.mark.skipif(ketsim.__backend__ != "host", reason="the host backend's thread mode")
def test_blocks_run_with_all_their_threads_give_the_same_values(tmp_path):
    # The GPU's path through the kernel (a block's threads striding over its chunk, the tree, the
    # barriers) run on the host, in a process of its own since the mode is read once. At n = 10 every
    # thread has one amplitude pair or none; at n = 19 each has two amplitudes or one pair per block.
    cases = [(random_state(10, dtype, seed=130), random_labels(10, 20, seed=131) + ["XY" * 5, "Z" * 10])
             for dtype in DTYPES]
    cases.append((random_state(19, np.complex64, seed=132), ["Z" * 19, "XZ" + "I" * 17, "IY" * 9 + "Z"]))
    np.savez(tmp_path / "cases.npz", **{f"psi{k}": psi for k, (psi, _) in enumerate(cases)},
             **{f"labels{k}": np.array(labels) for k, (_, labels) in enumerate(cases)})
    env = dict(os.environ, VELLORAN_HOST_BARRIER_THREADS="block", PYTHONPATH=os.pathsep.join(sys.path))
    subprocess.run([sys.executable, "-c", BLOCK_THREADS_RUN, str(tmp_path / "cases.npz"), str(tmp_path / "out.npz")],
                   env=env, check=True, timeout=300)
    values = np.load(tmp_path / "out.npz")
    for k, (psi, labels) in enumerate(cases):
        assert_matches(values[f"values{k}"], tensor_expectations(psi, labels), psi.dtype)


# ---- refusals ------------------------------------------------------------------------------------

def refused(exc, message, state, paulis):
    with pytest.raises(exc, match=message):
        ketsim.pauli_expectations(state, paulis)


@pytest.mark.parametrize("not_a_state", [np.zeros(4, dtype=np.complex128), None, "IXYZ", 3])
def test_only_a_device_state_is_accepted(not_a_state):
    refused(TypeError, "incompatible function arguments", not_a_state, ["II"])


def test_a_blank_device_state_is_refused():
    refused(TypeError, r"^DeviceState object is not initialised", ketsim.DeviceState.__new__(ketsim.DeviceState),
            ["I"])


@pytest.mark.parametrize("item, type_name", [(3, "int"), (None, "NoneType"), (b"XZ", "bytes"), (["X", "Z"], "list")])
def test_items_that_are_not_str_are_refused(item, type_name):
    state = ketsim.DeviceState.zero_state(2)
    refused(TypeError, rf"^Pauli string 2 must be a str, not {type_name}$", state, ["XZ", "II", item])


@pytest.mark.parametrize("paulis, message", [
    ("XZ", r"^paulis must be a sequence of Pauli strings, not a single str$"),
    (5, "is not iterable"),
    (None, "is not iterable"),
])
def test_a_single_string_or_non_iterable_is_refused(paulis, message):
    refused(TypeError, message, ketsim.DeviceState.zero_state(2), paulis)


@pytest.mark.parametrize("label, message", [
    ("XYZIX", "Pauli string 3 has length 5; the state has 4 qubits"),
    ("XYZ", "Pauli string 3 has length 3; the state has 4 qubits"),
    ("", "Pauli string 3 has length 0; the state has 4 qubits"),
    ("XX", "Pauli string 0 has length 2; the state has 1 qubit"),
])
def test_wrong_lengths_are_refused(label, message):
    n = 1 if message.endswith("1 qubit") else 4
    paulis = [label] if n == 1 else ["IIII", "XXXX", "ZZZZ", label]
    refused(ValueError, "^" + message + "$", ketsim.DeviceState.zero_state(n), paulis)


@pytest.mark.parametrize("label, shown, position", [
    ("IxYZ", "'x'", 1), ("IXYz", "'z'", 3), ("iXYZ", "'i'", 0), ("IXYA", "'A'", 3), ("I YZ", "' '", 1),
    ("IX\nZ", r"'\\n'", 2), ("IXéZ", "'é'", 2), ("IXY0", "'0'", 3), ("I+YZ", r"'\+'", 1),
])
def test_characters_outside_ixyz_are_refused(label, shown, position):
    refused(ValueError, rf"^Pauli string 1 has character {shown} at position {position}; "
                        r"only 'I', 'X', 'Y' and 'Z' are allowed$",
            ketsim.DeviceState.zero_state(4), ["ZZZZ", label, "XXXX"])


def test_a_refusal_runs_nothing_and_leaves_the_state():
    n = 6
    psi = random_state(n, np.complex64, seed=110)
    state = ketsim.DeviceState.from_numpy(n, psi)
    with pytest.raises(ValueError):
        ketsim.pauli_expectations(state, ["XXXXXX"] * 40 + ["XXXXXq"])
    assert state.to_numpy().tobytes() == psi.tobytes()
    assert_matches(ketsim.pauli_expectations(state, ["XXXXXX"]), kron_expectations(psi, ["XXXXXX"]), np.complex64)
