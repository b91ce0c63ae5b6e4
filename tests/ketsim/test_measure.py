"""Measurement and sampling of ketsim states, checked against a NumPy model of the outcome
probabilities and of the collapse: bit order, seeded determinism, frequencies, renormalisation,
the two counting paths and every input check."""

import numpy as np
import pytest

import ketsim

DTYPES = [np.complex64, np.complex128]
ENDIANS = ["little", "big"]


def tolerance(dtype):
    return 2e-5 if dtype == np.complex64 else 1e-12


def random_state(n, dtype, seed, norm2=1.0):
    rng = np.random.default_rng(seed)
    state = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    state *= np.sqrt(norm2) / np.linalg.norm(state)
    return state.astype(dtype)


def outcome_indices(n, targets, endian):
    """Outcome index of every amplitude index: the first target is the most significant bit."""
    index = np.arange(2**n, dtype=np.uint64)
    outcome = np.zeros(2**n, dtype=np.uint64)
    for t in targets:
        position = t if endian == "little" else n - 1 - t
        outcome = (outcome << np.uint64(1)) | ((index >> np.uint64(position)) & np.uint64(1))
    return outcome


def bits(o, k):
    return format(int(o), "0{}b".format(k))


def reference_probabilities(state, n, targets, endian):
    """Outcome bit string -> probability relative to the state's squared norm."""
    weights = np.abs(state.astype(np.complex128)) ** 2
    per_outcome = np.bincount(outcome_indices(n, targets, endian).astype(np.int64), weights=weights,
                              minlength=2 ** len(targets))
    per_outcome /= per_outcome.sum()
    return {bits(o, len(targets)): p for o, p in enumerate(per_outcome)}


def reference_collapse(state, n, targets, endian, outcome):
    keep = outcome_indices(n, targets, endian) == np.uint64(int(outcome, 2))
    result = np.where(keep, state.astype(np.complex128), 0)
    return result / np.linalg.norm(result)


def assert_counts_plausible(counts, probabilities, shots):
    """Every count within 5 standard deviations of its binomial mean; impossible outcomes never drawn."""
    assert sum(counts.values()) == shots
    assert set(counts) <= set(probabilities)
    for outcome, p in probabilities.items():
        c = counts.get(outcome, 0)
        if p == 0:
            assert c == 0, outcome
        else:
            assert abs(c - shots * p) <= 5 * np.sqrt(shots * p * (1 - p)) + 1, (outcome, c, shots * p)


def device(state, n):
    return ketsim.DeviceState.from_numpy(n, state)


# --- bit order -----------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian, targets, expected", [
    ("little", [0, 2], "01"),
    ("big", [0, 2], "10"),
    ("little", [2, 0], "10"),
    ("big", [2, 0], "01"),
])
def test_outcome_strings_of_basis_state_110(dtype, endian, targets, expected):
    state = np.zeros(8, dtype=dtype)
    state[6] = 1
    assert ketsim.measure_device(device(state, 3), targets, endian, seed=1) == expected
    counts, last = ketsim.sample_measure_device(device(state, 3), targets, 5, endian, seed=2)
    assert counts == {expected: 5} and last == expected
    array = state.copy()
    assert ketsim.measure(3, array, targets, endian) == expected
    np.testing.assert_array_equal(array, state)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("targets", [[0], [3], [1, 3], [3, 0, 2], [2, 1, 0, 3]])
def test_every_basis_state_reads_as_its_reference_string(dtype, endian, targets):
    n = 4
    expected = outcome_indices(n, targets, endian)
    for index in range(2**n):
        state = np.zeros(2**n, dtype=dtype)
        state[index] = 1j
        counts, last = ketsim.sample_measure_device(device(state, n), targets, 3, endian, seed=index)
        assert counts == {bits(expected[index], len(targets)): 3}
        assert last == bits(expected[index], len(targets))


# --- seeds -----------------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shots", [1, 7, 500])
def test_same_seed_gives_same_counts_and_state(dtype, shots):
    n, targets = 5, [4, 1, 2]
    state = random_state(n, dtype, 11)
    a, b = device(state, n), device(state, n)
    result_a = ketsim.sample_measure_device(a, targets, shots, seed=12345)
    result_b = ketsim.sample_measure_device(b, targets, shots, seed=12345)
    assert result_a == result_b
    np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())


def test_whole_64_bit_seed_is_used():
    n = 8
    state = random_state(n, np.complex128, 3)
    targets = list(range(n))
    low = ketsim.sample_measure_device(device(state, n), targets, 300, seed=1, collapse_last=False)
    high = ketsim.sample_measure_device(device(state, n), targets, 300, seed=1 + 2**32, collapse_last=False)
    top = ketsim.sample_measure_device(device(state, n), targets, 300, seed=1 + 2**63, collapse_last=False)
    assert low != high and low != top and high != top


@pytest.mark.parametrize("seed", [0, 2**64 - 1, np.uint64(9), np.int64(9), True])
def test_integer_like_seeds_are_accepted(seed):
    state = random_state(3, np.complex128, 4)
    counts, _ = ketsim.sample_measure_device(device(state, 3), [0, 1], 10, seed=seed)
    assert sum(counts.values()) == 10


@pytest.mark.parametrize("seed", [-1, 2**64, 1.0, np.float64(2.0), "3"])
def test_seeds_that_do_not_convert_are_refused(seed):
    state = random_state(3, np.complex128, 4)
    d = device(state, 3)
    with pytest.raises(RuntimeError, match="Unable to cast"):
        ketsim.sample_measure_device(d, [0], 4, seed=seed)
    with pytest.raises(RuntimeError, match="Unable to cast"):
        ketsim.measure_device(d, [0], seed=seed)
    np.testing.assert_array_equal(d.to_numpy(), state)


def test_seed_none_draws_a_fresh_seed_each_call():
    n = 10
    state = np.full(2**n, 2 ** (-n / 2), dtype=np.complex128)
    d = device(state, n)
    first = ketsim.sample_measure_device(d, list(range(n)), 2000, collapse_last=False)
    second = ketsim.sample_measure_device(d, list(range(n)), 2000, collapse_last=False)
    assert first[0] != second[0]


# --- frequencies -----------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("targets, shots", [([2], 20000), ([0, 4], 20000), ([3, 1, 4], 40000), ([4, 0, 1, 2, 3], 4)])
def test_frequencies_follow_squared_amplitudes(dtype, endian, targets, shots):
    n = 5
    state = random_state(n, dtype, 21 + len(targets))
    # Outcomes without weight must never be drawn.
    state[outcome_indices(n, targets, endian) == 1] = 0
    probabilities = reference_probabilities(state, n, targets, endian)
    d = device(state, n)
    counts, last = ketsim.sample_measure_device(d, targets, shots, endian, seed=2024, collapse_last=False)
    assert last in counts
    assert_counts_plausible(counts, probabilities, shots)
    np.testing.assert_array_equal(d.to_numpy(), state)


@pytest.mark.parametrize("dtype", DTYPES)
def test_unnormalised_state_samples_relative_to_its_norm(dtype):
    n, targets = 4, [1, 3]
    state = random_state(n, dtype, 5, norm2=4.0)
    counts, _ = ketsim.sample_measure_device(device(state, n), targets, 30000, seed=8, collapse_last=False)
    assert_counts_plausible(counts, reference_probabilities(state, n, targets, "little"), 30000)


def test_chi_square_of_many_outcomes():
    n, targets, shots = 7, [6, 0, 3, 1, 5, 2, 4], 100000
    state = random_state(n, np.complex128, 77)
    probabilities = reference_probabilities(state, n, targets, "big")
    counts, _ = ketsim.sample_measure_device(device(state, n), targets, shots, "big", seed=99, collapse_last=False)
    expected = np.array([shots * probabilities[o] for o in sorted(probabilities)])
    observed = np.array([counts.get(o, 0) for o in sorted(probabilities)])
    chi2 = float(np.sum((observed - expected) ** 2 / expected))
    # 127 degrees of freedom: mean 127, standard deviation about 16.
    assert chi2 < 127 + 6 * 16


# --- collapse ------------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("targets", [[0], [2, 5], [5, 3, 0], list(range(6))])
@pytest.mark.parametrize("norm2", [1.0, 4.0])
def test_measure_device_collapses_and_renormalises(dtype, endian, targets, norm2):
    n = 6
    state = random_state(n, dtype, 31 + len(targets), norm2=norm2)
    for seed in range(3):
        d = device(state, n)
        outcome = ketsim.measure_device(d, targets, endian, seed)
        assert len(outcome) == len(targets) and reference_probabilities(state, n, targets, endian)[outcome] > 0
        collapsed = d.to_numpy()
        assert collapsed.dtype == dtype
        np.testing.assert_allclose(collapsed, reference_collapse(state, n, targets, endian, outcome),
                                   atol=tolerance(dtype), rtol=0)
        assert abs(np.linalg.norm(collapsed.astype(np.complex128)) ** 2 - 1) < 10 * tolerance(dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
def test_collapse_last_flag(dtype, endian):
    n, targets = 5, [3, 1]
    state = random_state(n, dtype, 41)
    kept = device(state, n)
    collapsed = device(state, n)
    untouched = ketsim.sample_measure_device(kept, targets, 64, endian, seed=6, collapse_last=False)
    result = ketsim.sample_measure_device(collapsed, targets, 64, endian, seed=6, collapse_last=True)
    assert untouched == result
    np.testing.assert_array_equal(kept.to_numpy(), state)
    np.testing.assert_allclose(collapsed.to_numpy(), reference_collapse(state, n, targets, endian, result[1]),
                               atol=tolerance(dtype), rtol=0)


@pytest.mark.parametrize("dtype", DTYPES)
def test_one_shot_sample_equals_measure_device(dtype):
    n, targets = 5, [4, 2, 0]
    state = random_state(n, dtype, 51)
    for seed in range(5):
        a, b = device(state, n), device(state, n)
        counts, last = ketsim.sample_measure_device(a, targets, 1, seed=seed)
        assert counts == {last: 1}
        assert ketsim.measure_device(b, targets, seed=seed) == last
        np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())


def test_complex64_collapse_of_tiny_amplitudes_stays_finite():
    # The renormalising factor is beyond the float range, while the collapsed amplitudes are not.
    state = np.full(4, 1e-40, dtype=np.complex64)
    d = device(state, 2)
    outcome = ketsim.measure_device(d, [1], seed=3)
    collapsed = d.to_numpy()
    assert np.all(np.isfinite(collapsed))
    np.testing.assert_allclose(collapsed, reference_collapse(state, 2, [1], "little", outcome), atol=1e-3)


@pytest.mark.parametrize("dtype", DTYPES)
def test_larger_register_over_many_blocks(dtype):
    n, targets = 14, [13, 0, 7, 2]
    state = random_state(n, dtype, 61)
    d = device(state, n)
    counts, last = ketsim.sample_measure_device(d, targets, 20000, "big", seed=17)
    assert_counts_plausible(counts, reference_probabilities(state, n, targets, "big"), 20000)
    np.testing.assert_allclose(d.to_numpy(), reference_collapse(state, n, targets, "big", last),
                               atol=tolerance(dtype), rtol=0)


# --- the two ways of counting --------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("targets", [[1, 0], [0, 2, 1], [3, 1, 0, 2]])
def test_dense_and_hashed_counts_agree_shot_by_shot(dtype, targets):
    # Fewer outcomes than shots counts in a table, otherwise in a map; one generator output per
    # shot means each extra shot adds exactly its own last outcome to the previous counts.
    n = 4
    state = random_state(n, dtype, 71)
    d = device(state, n)
    outcomes = 2 ** len(targets)
    previous = {}
    for shots in range(1, 2 * outcomes + 2):
        counts, last = ketsim.sample_measure_device(d, targets, shots, seed=555, collapse_last=False)
        expected = dict(previous)
        expected[last] = expected.get(last, 0) + 1
        assert counts == expected, shots
        previous = counts
    np.testing.assert_array_equal(d.to_numpy(), state)


# --- failures ------------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("fill", [0.0, np.nan, np.inf])
def test_zero_or_invalid_norm(dtype, fill):
    state = np.full(8, fill, dtype=dtype)
    d = device(state, 3)
    with pytest.raises(RuntimeError, match=r"^Quantum state has zero or invalid norm\.$"):
        ketsim.measure_device(d, [0, 1], seed=1)
    with pytest.raises(RuntimeError, match=r"^Quantum state has zero or invalid norm\.$"):
        ketsim.sample_measure_device(d, [2], 10, seed=1)
    np.testing.assert_array_equal(d.to_numpy(), state)
    array = state.copy()
    with pytest.raises(RuntimeError, match=r"^Quantum state has zero or invalid norm\.$"):
        ketsim.measure(3, array, [1])
    np.testing.assert_array_equal(array, state)


def test_norm_beyond_double_range_is_invalid():
    state = np.full(4, 1e300, dtype=np.complex128)
    with pytest.raises(RuntimeError, match="zero or invalid norm"):
        ketsim.measure_device(device(state, 2), [0], seed=1)


INVALID_TARGETS = [
    ([], "measure targets size must be in [1, 62]"),
    (list(range(63)), "measure targets size must be in [1, 62]"),
    ([0, 3], "measure target index out of range"),
    ([-1], "measure target index out of range"),
    ([1, 1], "duplicate measure target index"),
    ([0, 0, 7], "duplicate measure target index"),
    ([7, 0, 0], "measure target index out of range"),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("targets, message", INVALID_TARGETS)
def test_invalid_targets(dtype, targets, message):
    state = random_state(3, dtype, 81)
    d = device(state, 3)
    with pytest.raises(ValueError) as info:
        ketsim.measure_device(d, targets, seed=1)
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        ketsim.sample_measure_device(d, targets, 5, "big", seed=1)
    assert str(info.value) == message
    np.testing.assert_array_equal(d.to_numpy(), state)
    array = state.copy()
    with pytest.raises(ValueError) as info:
        ketsim.measure(3, array, targets)
    assert str(info.value) == message
    np.testing.assert_array_equal(array, state)


def test_shots_and_endian_checks():
    state = random_state(2, np.complex128, 91)
    d = device(state, 2)
    with pytest.raises(ValueError, match=r"^shots must be positive$"):
        ketsim.sample_measure_device(d, [0], 0)
    with pytest.raises(ValueError, match=r"^endian must be 'little' or 'big'$"):
        ketsim.sample_measure_device(d, [0], 0, "middle")
    # The endian check comes before the targets are looked at.
    with pytest.raises(ValueError, match=r"^endian must be 'little' or 'big'$"):
        ketsim.measure_device(d, [], "Little")
    with pytest.raises(TypeError):
        ketsim.sample_measure_device(d, [0], -1)
    with pytest.raises(TypeError):
        ketsim.sample_measure_device(d, [0], 2.0)
    np.testing.assert_array_equal(d.to_numpy(), state)


def test_keyword_arguments_and_defaults():
    state = np.zeros(4, dtype=np.complex128)
    state[2] = 1
    d = device(state, 2)
    assert ketsim.measure_device(state=d, targets=[1, 0]) == "10"
    counts, last = ketsim.sample_measure_device(state=d, targets=[0, 1], shots=3, endian="big", seed=4,
                                                collapse_last=False)
    assert counts == {"10": 3} and last == "10"
    array = state.copy()
    assert ketsim.measure(n=2, state=array, targets=[1], endian="little", device="cuda:0",
                          use_pinned_host=True) == "1"


# --- measure on a NumPy array --------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("use_pinned_host", [False, True])
def test_measure_collapses_the_array_in_place(dtype, endian, use_pinned_host):
    n, targets = 5, [1, 4]
    state = random_state(n, dtype, 101, norm2=4.0)
    array = state.copy()
    outcome = ketsim.measure(n, array, targets, endian, "cuda:0", use_pinned_host)
    assert reference_probabilities(state, n, targets, endian)[outcome] > 0
    assert array.dtype == dtype
    np.testing.assert_allclose(array, reference_collapse(state, n, targets, endian, outcome),
                               atol=tolerance(dtype), rtol=0)


def test_measure_array_checks_come_first():
    state = random_state(3, np.complex128, 111)
    read_only = state.copy()
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match=r"^state array must be writable$"):
        ketsim.measure(3, read_only, [0], "middle")
    np.testing.assert_array_equal(read_only, state)
    strided = np.zeros(16, dtype=np.complex128)[::2]
    with pytest.raises(ValueError, match=r"^state must be C-contiguous$"):
        ketsim.measure(3, strided, [0], "middle")
    with pytest.raises(ValueError, match=r"^state.size must equal 2\*\*n$"):
        ketsim.measure(2, state.copy(), [0], "middle")
    with pytest.raises(ValueError, match=r"^n must be in \[1, 62\]$"):
        ketsim.measure(0, state.copy(), [0])
    with pytest.raises(ValueError, match=r"^endian must be 'little' or 'big'$"):
        ketsim.measure(3, state.copy(), [0], "middle")
    with pytest.raises(ValueError, match=r"^device must be"):
        ketsim.measure(3, state.copy(), [0], device="gpu:0")
    with pytest.raises(TypeError):
        ketsim.measure(3, list(state), [0])
