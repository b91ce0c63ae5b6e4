"""Noise channels and Kraus operators against the NumPy reference: the five built-in channels,
general Kraus sets on 1 to 3 targets, and how Kraus sets are recognised as built-in channels."""

import numpy as np
import pytest

import rhosim
from rho_reference import (CHANNELS, DTYPES, Gate, Kraus, X, apply_kraus, apply_operation, channel_kraus,
                           random_density, random_kraus, run, tolerance)

DDS = rhosim.DeviceDensityState


def check(n, ops, dtype, seed=0):
    rho = random_density(n, np.random.default_rng(seed))
    expected = rho
    for op in ops:
        expected = apply_kraus(expected, n, np.asarray(op.kraus_matrices), op.target)
    got = run(n, ops, rho, dtype)
    np.testing.assert_allclose(got, expected, atol=tolerance(dtype), rtol=0)
    np.testing.assert_allclose(np.trace(got), 1, atol=tolerance(dtype) * 4)
    return got


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("named", [True, False], ids=["builtin", "general"])
@pytest.mark.parametrize("target", [0, 2])
@pytest.mark.parametrize("p", [0.0, 0.13, 0.5, 1.0])
@pytest.mark.parametrize("channel", CHANNELS)
def test_channel(channel, p, target, named, dtype):
    op = Kraus([target], channel_kraus(channel, p), channel if named else None)
    check(3, [op], dtype, seed=target)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channel", CHANNELS)
def test_builtin_equals_general_kraus(channel, dtype):
    rho = random_density(4, np.random.default_rng(5))
    builtin = run(4, [Kraus([1], channel_kraus(channel, 0.3), channel)], rho, dtype)
    general = run(4, [Kraus([1], channel_kraus(channel, 0.3))], rho, dtype)
    np.testing.assert_allclose(builtin, general, atol=tolerance(dtype), rtol=0)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("count", [1, 2, 4])
@pytest.mark.parametrize("k", [1, 2, 3])
@pytest.mark.parametrize("extra", [0, 2])
def test_general_kraus_permuted_targets(k, count, extra, dtype):
    rng = np.random.default_rng(100 * k + 10 * count + extra)
    n = k + extra
    targets = [int(q) for q in rng.permutation(n)[:k]]
    check(n, [Kraus(targets, random_kraus(k, count, rng))], dtype, seed=k + count)


@pytest.mark.parametrize("dtype", DTYPES)
def test_non_trace_preserving_kraus(dtype):
    # The kernel applies the sum as given; nothing is normalised.
    rng = np.random.default_rng(3)
    matrices = rng.normal(size=(2, 4, 4)) + 1j * rng.normal(size=(2, 4, 4))
    rho = random_density(3, rng)
    expected = apply_kraus(rho, 3, matrices, [2, 0])
    np.testing.assert_allclose(run(3, [Kraus([2, 0], matrices)], rho, dtype), expected,
                               atol=tolerance(dtype) * 50, rtol=tolerance(dtype) * 10)


@pytest.mark.parametrize("dtype", DTYPES)
def test_channel_edge_cases(dtype):
    # The parameters come back from squared Kraus entries, so they are exact only to rounding.
    zero = np.diag([1, 0]).astype(dtype)
    plus = np.full((2, 2), 0.5, dtype=dtype)
    one = np.array([[0.25, 0.4], [0.4, 0.75]], dtype=dtype)
    cases = [("bit_flip", 1.0, zero, [[0, 0], [0, 1]]), ("phase_flip", 0.5, plus, np.diag([0.5, 0.5])),
             ("depolarizing", 1.0, plus, np.diag([0.5, 0.5])), ("amplitude_damping", 1.0, one, [[1, 0], [0, 0]]),
             ("phase_damping", 1.0, plus, np.diag([0.5, 0.5]))]
    for name, p, rho, expected in cases:
        out = run(1, [Kraus([0], channel_kraus(name, p), name)], rho, dtype)
        np.testing.assert_allclose(out, expected, atol=tolerance(dtype), rtol=0)


@pytest.mark.parametrize("dtype", DTYPES)
def test_channel_on_higher_qubit_uses_its_blocks(dtype):
    # Amplitude damping on qubit 1 of two qubits moves rho(2, 2) to rho(0, 0) and rho(3, 3) to rho(1, 1).
    rho = np.diag([0.0, 0.0, 0.25, 0.75]).astype(dtype)
    out = run(2, [Kraus([1], channel_kraus("amplitude_damping", 1.0), "amplitude_damping")], rho, dtype)
    np.testing.assert_array_equal(out, np.diag([0.25, 0.75, 0, 0]))


@pytest.mark.parametrize("dtype", DTYPES)
def test_identity_and_x_kraus(dtype):
    rho = random_density(3, np.random.default_rng(8)).astype(dtype)
    np.testing.assert_array_equal(run(3, [Kraus([1], np.array([np.eye(2)]))], rho, dtype), rho)
    np.testing.assert_array_equal(run(3, [Kraus([0, 2, 1], np.array([np.eye(8)]))], rho, dtype), rho)
    np.testing.assert_allclose(run(3, [Kraus([1], np.array([X]))], rho, dtype), run(3, [Gate("x", [1])], rho, dtype),
                               atol=tolerance(dtype))


def choi_kraus(matrices):
    """The same channel as `matrices`, in the Kraus basis of its Choi matrix's eigenvectors (what
    other toolkits produce from a channel given as a superoperator)."""
    omega = np.eye(4)[:, 0] + np.eye(4)[:, 3]
    choi = sum(np.kron(k, np.eye(2)) @ np.outer(omega, omega) @ np.kron(k, np.eye(2)).conj().T for k in matrices)
    w, v = np.linalg.eigh(choi)
    return np.array([np.sqrt(wi) * v[:, i].reshape(2, 2) for i, wi in enumerate(w) if wi > 1e-12])


@pytest.mark.parametrize("fusion", ["0", "1"])
@pytest.mark.parametrize("channel", CHANNELS)
def test_named_set_in_another_basis_is_its_own_kraus_sum(channel, fusion, monkeypatch):
    # The same channel in other Kraus bases (Choi eigenvectors, a sign, a global phase): the result
    # must be that channel, whether it runs alone or among gates that fusion would group with it.
    monkeypatch.setenv("VELLORAN_DENSITY_FUSION", fusion)
    standard = channel_kraus(channel, 0.3)
    rho = random_density(2, np.random.default_rng(11))
    for matrices in (choi_kraus(standard), -standard, standard * np.exp(0.4j)):
        ops = [Gate("h", [0]), Kraus([1], matrices, channel), Gate("x", [1])]
        expected = rho
        for op in [Gate("h", [0]), Kraus([1], standard), Gate("x", [1])]:
            expected = apply_operation(expected, 2, op)
        np.testing.assert_allclose(run(2, ops, rho), expected, atol=1e-12)


def test_named_set_that_is_another_channel_runs_as_given():
    rho = random_density(2, np.random.default_rng(1))
    # Two arbitrary matrices named bit_flip: Re(K1[0][1])^2 = 0.09 would read as p, but K0 and K1
    # are not that channel's set, so the sum of the matrices given is applied.
    odd = np.array([[[5, 6], [7, 8]], [[1, 0.3 + 0.2j], [0.4, 0.5]]], dtype=complex)
    for name in ["bit_flip", "phase_flip", "amplitude_damping"]:
        np.testing.assert_allclose(run(2, [Kraus([0], odd, name)], rho), apply_kraus(rho, 2, odd, [0]), atol=1e-10)
    # The standard set of one channel under another channel's name.
    for given, name in [("bit_flip", "phase_flip"), ("phase_flip", "bit_flip"), ("phase_damping", "depolarizing")]:
        matrices = channel_kraus(given, 0.2)
        if len(matrices) != {"depolarizing": 4}.get(name, 2):
            matrices = np.concatenate([matrices, np.zeros((1, 2, 2))])
        np.testing.assert_allclose(run(2, [Kraus([0], matrices, name)], rho),
                                   apply_kraus(rho, 2, matrices, [0]), atol=1e-12)
    # A set one entry off by more than 1e-9 is not the channel's own; within it, it is.
    near = channel_kraus("amplitude_damping", 0.4)
    near[0, 0, 0] += 1e-6
    np.testing.assert_allclose(run(2, [Kraus([0], near, "amplitude_damping")], rho),
                               apply_kraus(rho, 2, near, [0]), atol=1e-12)
    # Three matrices named bit_flip, an unknown name, or two targets: applied as given.
    three = np.array([np.eye(2) * 0.5, X * 0.5, np.diag([0.5, -0.5])], dtype=complex) * np.sqrt(4 / 3)
    for op in [Kraus([1], three, "bit_flip"), Kraus([1], channel_kraus("bit_flip", 0.2), "my_channel"),
               Kraus([1, 0], np.array([np.eye(4)]), "depolarizing")]:
        expected = apply_kraus(rho, 2, np.asarray(op.kraus_matrices), op.target)
        np.testing.assert_allclose(run(2, [op], rho), expected, atol=1e-12)
    np.testing.assert_allclose(run(2, [Kraus([0], np.array([np.eye(2)] * 4) / 2, "depolarizing")], rho),
                               rho, atol=1e-12)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p", [0.0, 1e-7, 0.36, 1.0])
@pytest.mark.parametrize("channel", CHANNELS)
def test_standard_sets_are_recognised_at_every_parameter(channel, p, dtype):
    rho = random_density(2, np.random.default_rng(2))
    matrices = channel_kraus(channel, p)
    np.testing.assert_allclose(run(2, [Kraus([0], matrices, channel)], rho, dtype), apply_kraus(rho, 2, matrices, [0]),
                               atol=tolerance(dtype), rtol=0)


def test_channel_name_none_is_general():
    rho = random_density(1, np.random.default_rng(4))
    op = Kraus([0], channel_kraus("bit_flip", 0.3))
    op.channel_name = None
    np.testing.assert_allclose(run(1, [op], rho), apply_kraus(rho, 1, channel_kraus("bit_flip", 0.3), [0]),
                               atol=1e-12)


@pytest.mark.parametrize("dtype", DTYPES)
def test_mixed_noisy_sequence(dtype):
    rng = np.random.default_rng(77)
    n = 5
    ops = [Kraus([q], channel_kraus(CHANNELS[q], 0.1 * (q + 1)), CHANNELS[q]) for q in range(n)]
    ops += [Kraus([4, 1, 2], random_kraus(3, 3, rng)), Kraus([3, 0], random_kraus(2, 2, rng))]
    check(n, ops, dtype, seed=3)
