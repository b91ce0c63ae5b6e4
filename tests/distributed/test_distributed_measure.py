"""Measurement and sampling of a DistributedState: the same outcomes, counts and collapsed states
as one DeviceState given the same seed, counts that follow the NumPy probabilities, and the same
result on every rank."""

import numpy as np
import pytest

import ketsim
from distributed_testing import (DTYPES, all_ranks_equal, distributed_run, random_circuit, random_state, single_run,
                                 tolerance)

N = 6
TARGET_SETS = [[N - 1], [0], [0, N - 1], [N - 2, 1, N - 1], list(range(N))]


def prepared(dtype, seed=41):
    gates = random_circuit(N, 30, seed)
    initial = random_state(N, dtype, np.random.default_rng(seed))
    return single_run(N, initial, gates), distributed_run(initial, gates)


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("endian", ["little", "big"])
def test_measure_gives_the_single_device_outcome_and_collapse(dtype, endian):
    for i, targets in enumerate(TARGET_SETS):
        single, state = prepared(dtype, 41 + i)
        for seed in (0, 5, 123456789):
            expected = ketsim.measure_device(single, targets, endian, seed)
            assert ketsim.measure_device(state, targets, endian, seed) == expected
            np.testing.assert_allclose(state.to_numpy(), single.to_numpy(), atol=tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("collapse", [True, False])
def test_sampling_counts_match_the_single_device(dtype, collapse):
    for targets in TARGET_SETS:
        single, state = prepared(dtype)
        before = state.to_numpy()
        expected = ketsim.sample_measure_device(single, targets, 2000, seed=77, collapse_last=collapse)
        counts, last = ketsim.sample_measure_device(state, targets, 2000, seed=77, collapse_last=collapse)
        assert (counts, last) == expected
        assert sum(counts.values()) == 2000
        after = state.to_numpy()
        np.testing.assert_allclose(after, single.to_numpy(), atol=tolerance(dtype))
        if not collapse:
            np.testing.assert_array_equal(after, before)


def test_counts_follow_the_state_probabilities():
    single, state = prepared(np.complex128, 55)
    amplitudes = state.to_numpy()
    targets = [N - 1, 0, N - 2]
    shots = 20000
    counts, _ = ketsim.sample_measure_device(state, targets, shots, seed=2024, collapse_last=False)
    probs = np.zeros(8)
    for i, a in enumerate(amplitudes):
        o = 0
        for t in targets:
            o = (o << 1) | ((i >> t) & 1)
        probs[o] += abs(a) ** 2
    for o, p in enumerate(probs):
        seen = counts.get(format(o, "03b"), 0)
        sigma = np.sqrt(shots * p * (1 - p)) + 1
        assert abs(seen - shots * p) < 6 * sigma


def test_collapsed_state_is_the_normalised_projection():
    _, state = prepared(np.complex128, 60)
    before = state.to_numpy()
    outcome = ketsim.measure_device(state, [N - 1, 1], seed=9)
    keep = np.array([((i >> (N - 1)) & 1) == int(outcome[0]) and ((i >> 1) & 1) == int(outcome[1])
                     for i in range(2**N)])
    expected = np.where(keep, before, 0)
    expected /= np.linalg.norm(expected)
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12)


def test_unseeded_measurement_agrees_on_every_rank():
    _, state = prepared(np.complex128, 61)
    outcome = ketsim.measure_device(state, list(range(N)))
    assert all_ranks_equal(outcome)
    counts, last = ketsim.sample_measure_device(state, [0, N - 1], 50)
    assert all_ranks_equal((sorted(counts.items()), last))


@pytest.mark.parametrize("call", [
    lambda s: ketsim.measure_device(s, []),
    lambda s: ketsim.measure_device(s, [N]),
    lambda s: ketsim.measure_device(s, [-1]),
    lambda s: ketsim.measure_device(s, [1, 1]),
    lambda s: ketsim.measure_device(s, [0], endian="middle"),
    lambda s: ketsim.sample_measure_device(s, [0], 0),
    lambda s: ketsim.sample_measure_device(s, [N + 3], 10),
    lambda s: ketsim.measure_device(s, [0], seed=-1),
])
def test_bad_measurements_are_refused_as_on_one_device(call):
    single = ketsim.DeviceState.zero_state(N)
    with pytest.raises((ValueError, TypeError, OverflowError, RuntimeError)) as expected:
        call(single)
    state = ketsim.DistributedState.zero_state(N)
    with pytest.raises(expected.type) as raised:
        call(state)
    assert str(raised.value) == str(expected.value)
    np.testing.assert_array_equal(state.to_numpy(), single.to_numpy())
