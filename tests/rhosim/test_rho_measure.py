"""Density measurement: outcome bits and their order, the seeded draw, collapse and renormalisation,
and the argument and trace errors."""

import numpy as np
import pytest

import rhosim
from mt19937_64 import MT19937_64, first_uniform
from rho_reference import DTYPES, random_density, tolerance

DDS = rhosim.DeviceDensityState


def test_reference_generator():
    # The 10000th output of the standard generator with its default seed.
    g = MT19937_64(5489)
    for _ in range(9999):
        g()
    assert g() == 9981545732273789042


def basis(n, index, dtype):
    rho = np.zeros((1 << n, 1 << n), dtype=dtype)
    rho[index, index] = 1
    return DDS.from_numpy(n, rho)


@pytest.mark.parametrize("dtype", DTYPES)
def test_endian_of_single_qubit(dtype):
    assert rhosim.measure_device(basis(2, 1, dtype), [0]) == "1"
    assert rhosim.measure_device(basis(2, 1, dtype), [0], "big") == "0"
    assert rhosim.measure_device(basis(2, 1, dtype), [1], "big") == "1"
    assert rhosim.measure_device(basis(2, 2, dtype), [1, 0]) == "10"
    assert rhosim.measure_device(basis(2, 2, dtype), [0, 1]) == "01"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ["little", "big"])
@pytest.mark.parametrize("seed", range(6))
def test_bits_follow_target_order(seed, endian, dtype):
    rng = np.random.default_rng(seed)
    n = 5
    index = int(rng.integers(1 << n))
    targets = [int(t) for t in rng.permutation(n)[: 1 + seed % n]]
    bit = (lambda q: (index >> q) & 1) if endian == "little" else (lambda q: (index >> (n - 1 - q)) & 1)
    expected = "".join(str(bit(t)) for t in targets)
    state = basis(n, index, dtype)
    assert rhosim.measure_device(state, targets, endian, seed) == expected
    # A basis state is its own collapse.
    out = state.to_numpy()
    assert out[index, index] == 1 and np.count_nonzero(out) == 1


def predicted_outcome(probabilities, seed):
    total = float(np.sum(probabilities))
    threshold = first_uniform(seed) * np.nextafter(total, np.inf)
    cumulative = 0.0
    for o, p in enumerate(probabilities):
        cumulative += p
        if cumulative >= threshold:
            return o
    return len(probabilities) - 1


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("seed", [0, 1, 2, 3, 17, 2**63 + 5, 2**64 - 1])
def test_draw_follows_the_sampling_rule(seed, dtype):
    # Eighths sum exactly in any order, so the outcome is fully determined by the rule.
    n = 3
    weights = np.array([1, 0, 2, 1, 0, 3, 1, 0]) / 8
    rho = np.diag(weights).astype(dtype)
    outcome = predicted_outcome(weights, seed)
    state = DDS.from_numpy(n, rho)
    bits = rhosim.measure_device(state, [2, 1, 0], "little", seed)
    assert bits == format(outcome, "03b")
    expected = np.zeros_like(rho)
    expected[outcome, outcome] = 1
    np.testing.assert_array_equal(state.to_numpy(), expected)


@pytest.mark.parametrize("dtype", DTYPES)
def test_unnormalised_trace_draws_in_proportion(dtype):
    weights = np.array([3.0, 1.0])  # trace 4: the draw uses the weights as they are
    for seed in range(20):
        state = DDS.from_numpy(1, np.diag(weights).astype(dtype))
        assert rhosim.measure_device(state, [0], seed=seed) == str(predicted_outcome(weights, seed))
        assert np.trace(state.to_numpy()) == pytest.approx(1)


@pytest.mark.parametrize("dtype", DTYPES)
def test_seeded_measurement_is_deterministic(dtype):
    rho = random_density(4, np.random.default_rng(2)).astype(dtype)
    results = []
    for _ in range(3):
        state = DDS.from_numpy(4, rho.copy())
        results.append((rhosim.measure_device(state, [3, 1], seed=12345), state.to_numpy()))
    for bits, matrix in results[1:]:
        assert bits == results[0][0]
        np.testing.assert_array_equal(matrix, results[0][1])
    outcomes = {rhosim.measure_device(DDS.from_numpy(4, rho.copy()), [3, 1], seed=s) for s in range(64)}
    assert len(outcomes) > 1
    assert rhosim.measure_device(DDS.from_numpy(4, rho.copy()), [0], seed=0) == \
        rhosim.measure_device(DDS.from_numpy(4, rho.copy()), [0], seed=0)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ["little", "big"])
@pytest.mark.parametrize("targets", [[0], [2], [3, 1], [1, 3, 0]])
def test_collapse_is_block_diagonal_with_trace_one(targets, endian, dtype):
    n = 4
    rho = random_density(n, np.random.default_rng(len(targets))).astype(dtype)
    state = DDS.from_numpy(n, rho.copy())
    bits = rhosim.measure_device(state, targets, endian, seed=99)
    out = state.to_numpy()
    qubit = (lambda t: t) if endian == "little" else (lambda t: n - 1 - t)
    keep = np.array([all(((i >> qubit(t)) & 1) == int(b) for t, b in zip(targets, bits)) for i in range(1 << n)])
    projector = np.diag(keep.astype(float))
    p = np.real(np.trace(projector @ rho.astype(complex)))
    expected = projector @ rho.astype(complex) @ projector / p
    np.testing.assert_allclose(out, expected, atol=tolerance(dtype) * 10, rtol=0)
    assert np.all(out[~keep, :] == 0) and np.all(out[:, ~keep] == 0)
    assert np.trace(out) == pytest.approx(1, abs=tolerance(dtype) * 10)
    np.testing.assert_allclose(out, out.conj().T, atol=tolerance(dtype))


def test_frequencies_follow_probabilities():
    rho = np.diag([0.25, 0.75]).astype(complex)
    ones = sum(rhosim.measure_device(DDS.from_numpy(1, rho.copy()), [0], seed=s) == "1" for s in range(400))
    assert 250 < ones < 350


def test_unseeded_measurement_runs():
    state = DDS.from_numpy(1, np.diag([0.5, 0.5]).astype(complex))
    assert rhosim.measure_device(state, [0]) in ("0", "1")


@pytest.mark.parametrize("diagonal", [[0, 0], [-0.5, 0.25], [np.nan, 1], [np.inf, 0], [1, -np.inf]])
@pytest.mark.parametrize("dtype", DTYPES)
def test_invalid_trace(diagonal, dtype):
    rho = np.diag(diagonal).astype(dtype)
    state = DDS.from_numpy(1, rho.copy())
    with pytest.raises(RuntimeError, match=r"^density matrix has zero or invalid trace\.$"):
        rhosim.measure_device(state, [0], seed=1)
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_selected_probability_zero():
    # A trace of one subnormal step makes the threshold round to zero for u < 0.25, so the walk stops on
    # outcome 0, whose probability is 0.
    seed = next(s for s in range(100) if first_uniform(s) < 0.25)
    rho = np.diag([0.0, 5e-324]).astype(complex)
    state = DDS.from_numpy(1, rho.copy())
    with pytest.raises(RuntimeError, match=r"^Selected measurement probability is zero\.$"):
        rhosim.measure_device(state, [0], seed=seed)
    np.testing.assert_array_equal(state.to_numpy(), rho)


@pytest.mark.parametrize("targets, message", [
    ([], "measure targets must not be empty"),
    ([3], "measure target index out of range"),
    ([-1], "measure target index out of range"),
    ([0, 2, 0], "duplicate measure target index"),
    ([5, 0, 0], "measure target index out of range"),
])
def test_target_errors(targets, message):
    state = DDS.zero_state(3)
    with pytest.raises(ValueError, match="^" + message + "$"):
        rhosim.measure_device(state, targets, seed=0)


def test_argument_errors():
    state = DDS.zero_state(2)
    with pytest.raises(ValueError, match="^endian must be 'little' or 'big'$"):
        rhosim.measure_device(state, [0], "middle")
    with pytest.raises(ValueError, match="^endian must be 'little' or 'big'$"):
        rhosim.measure_device(state, [0], "Big", seed=1.5)  # endian is checked before the seed
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[1, 15\]$"):
        rhosim.measure_device(DDS.zero_state(0), [0], seed=0)
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[1, 15\]$"):
        rhosim.measure_device(DDS.zero_state(0), [], seed=0)  # n before the targets
    for seed in [1.5, -1, 2**64, "7"]:
        with pytest.raises(RuntimeError):
            rhosim.measure_device(state, [0], seed=seed)
    assert rhosim.measure_device(state, [0], seed=np.uint64(7)) == "0"
    assert rhosim.measure_device(state, [1, 0], seed=0) == "00"
    with pytest.raises(TypeError):
        rhosim.measure_device(state, 0, seed=0)
